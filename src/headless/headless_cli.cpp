#include "headless/headless_cli.h"

#include <cstdlib>

namespace brindle {

namespace {

constexpr char kServeUsage[] =
    "brindlenet-peer serve\n"
    "    Listens on port 2000, registers with the directory server of config.txt\n"
    "    and serves the files of the shared directory until SIGINT or SIGTERM.\n"
    "    Received messages go to standard output; notices and upload progress to\n"
    "    standard error.\n";
constexpr char kSearchUsage[] =
    "brindlenet-peer search QUERY [--ext PATTERN] [--max N]\n"
    "    Asks the directory server for files matching QUERY and prints them as a\n"
    "    numbered table. PATTERN is a file type such as \"*.mp3\" (default \"*.*\");\n"
    "    N is the largest number of results wanted (default 100).\n";
constexpr char kGetUsage[] =
    "brindlenet-peer get QUERY [--ext PATTERN] [--max N] --pick K [--overwrite]\n"
    "    Searches as 'search' does and downloads result K into the shared\n"
    "    directory. A file of that name is replaced only with --overwrite.\n"
    "    Exits with 0 only when the whole file has arrived.\n";
constexpr char kSendUsage[] =
    "brindlenet-peer send USER TEXT\n"
    "    Sends TEXT as a one-line message to USER.\n";

bool IsCommand(const std::string& word) {
    return word == "serve" || word == "search" || word == "get" || word == "send";
}

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool TakeValue(const std::vector<std::string>& arguments, std::size_t& i, const std::string& name,
               std::string& value, std::string& error) {
    const std::string& word = arguments[i];
    if (word.size() > name.size() && word.compare(0, name.size() + 1, name + "=") == 0) {
        value = word.substr(name.size() + 1);
        return true;
    }
    if (i + 1 >= arguments.size()) {
        error = name + " needs a value";
        return false;
    }
    value = arguments[++i];
    return true;
}

bool Matches(const std::string& word, const std::string& name) {
    return word == name || word.rfind(name + "=", 0) == 0;
}

bool ParsePick(const std::string& text, long long& pick, std::string& error) {
    char* end = nullptr;
    long long value = text.empty() ? 0 : std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1) {
        error = "--pick needs a result number from 1 up, not '" + text + "'";
        return false;
    }
    pick = value;
    return true;
}

}  // namespace

std::string HeadlessUsage(const std::string& command) {
    if (command == "serve") {
        return kServeUsage;
    }
    if (command == "search") {
        return kSearchUsage;
    }
    if (command == "get") {
        return kGetUsage;
    }
    if (command == "send") {
        return kSendUsage;
    }
    return std::string(
               "Brindlenet V1.0 without a window. Reads config.txt from the working "
               "directory.\n\n") +
           kServeUsage + kSearchUsage + kGetUsage + kSendUsage + "Each command takes --help.\n";
}

bool ParseHeadlessArguments(const std::vector<std::string>& arguments, HeadlessCommand& command,
                            std::string& error) {
    command = HeadlessCommand{};
    if (arguments.empty()) {
        error = "a command is needed: serve, search, get or send (see --help)";
        return false;
    }
    const std::string& name = arguments[0];
    if (name == "--help" || name == "-h" || name == "help") {
        command.kind = HeadlessCommandKind::Help;
        return true;
    }
    if (!IsCommand(name)) {
        error = "unknown command '" + name + "' (see --help)";
        return false;
    }
    std::vector<std::string> positional;
    bool pickGiven = false;
    bool optionsEnded = false;  // after "--" every word is an argument
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        bool searching = name == "search" || name == "get";
        if (optionsEnded) {
            positional.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--help" || word == "-h") {
            command.kind = HeadlessCommandKind::Help;
            command.helpFor = name;
            return true;
        } else if (searching && Matches(word, "--ext")) {
            if (!TakeValue(arguments, i, "--ext", command.extension, error)) {
                return false;
            }
        } else if (searching && Matches(word, "--max")) {
            if (!TakeValue(arguments, i, "--max", command.maxResults, error)) {
                return false;
            }
        } else if (name == "get" && Matches(word, "--pick")) {
            std::string value;
            if (!TakeValue(arguments, i, "--pick", value, error) ||
                !ParsePick(value, command.pick, error)) {
                return false;
            }
            pickGiven = true;
        } else if (name == "get" && word == "--overwrite") {
            command.overwrite = true;
        } else if (word.size() > 1 && word[0] == '-') {
            error = "unknown option '" + word + "' for " + name + " (see " + name + " --help)";
            return false;
        } else {
            positional.push_back(word);
        }
    }

    std::size_t wanted = name == "serve" ? 0 : name == "send" ? 2 : 1;
    if (positional.size() != wanted) {
        const char* shape = name == "serve"  ? "takes no arguments"
                            : name == "send" ? "needs USER and TEXT"
                                             : "needs one QUERY (quote it if it has spaces)";
        error = name + " " + shape + " (see " + name + " --help)";
        return false;
    }
    if (name == "get" && !pickGiven) {
        error = "get needs --pick K, the number of the result to download (see get --help)";
        return false;
    }
    if (name == "serve") {
        command.kind = HeadlessCommandKind::Serve;
    } else if (name == "search" || name == "get") {
        command.kind = name == "search" ? HeadlessCommandKind::Search : HeadlessCommandKind::Get;
        command.query = positional[0];
    } else {
        command.kind = HeadlessCommandKind::Send;
        command.user = positional[0];
        command.text = positional[1];
    }
    return true;
}

}  // namespace brindle
