#include "headless/headless_cli.h"

#include <cstdlib>

#include "base/cli_parse.h"
#include "base/preferences.h"

namespace brindle {

namespace {

constexpr char kServeUsage[] =
    "brindlenet-peer serve\n"
    "    Listens on port 2000, registers with the directory server of config.txt\n"
    "    and serves the files of the shared directory until SIGINT or SIGTERM.\n"
    "    Received messages go to standard output; notices and upload progress to\n"
    "    standard error. Upload slots and rate limits come from preferences.conf,\n"
    "    read again on SIGHUP.\n";
constexpr char kSearchUsage[] =
    "brindlenet-peer search QUERY [--ext PATTERN] [--max N]\n"
    "    Asks the directory server for files matching QUERY and prints them as a\n"
    "    numbered table. PATTERN is a file type such as \"*.mp3\" (default \"*.*\");\n"
    "    N is the largest number of results wanted (default 100).\n";
constexpr char kGetUsage[] =
    "brindlenet-peer get QUERY [--ext PATTERN] [--max N] --pick K [--overwrite]\n"
    "                    [--limit KIB]\n"
    "    Searches as 'search' does and downloads result K into the shared\n"
    "    directory. A file of that name is replaced only with --overwrite.\n"
    "    --limit holds this download to KIB KiB/s (0: no limit of its own), on top\n"
    "    of the download limit of preferences.conf.\n"
    "    Exits with 0 only when the whole file has arrived.\n";
constexpr char kSendUsage[] =
    "brindlenet-peer send USER TEXT\n"
    "    Sends TEXT as a one-line message to USER.\n";

bool IsCommand(const std::string& word) {
    return word == "serve" || word == "search" || word == "get" || word == "send";
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

bool ParseLimit(const std::string& text, long long& limit, std::string& error) {
    char* end = nullptr;
    long long value = text.empty() ? -1 : std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > kMaxRateLimitKiB) {
        error = "--limit needs a rate in KiB/s from 0 to " + std::to_string(kMaxRateLimitKiB) +
                ", not '" + text + "'";
        return false;
    }
    limit = value;
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
    CLI::App app;
    app.set_help_flag();  // --help prints HeadlessUsage(), not CLI11's own listing
    app.allow_extras();   // unknown options are reported below in this program's wording
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    bool help = false;
    std::string pick;
    std::string limit;
    app.add_flag("-h,--help", help);
    if (name == "search" || name == "get") {
        app.add_option("--ext", command.extension);
        app.add_option("--max", command.maxResults);
    }
    if (name == "get") {
        app.add_option("--pick", pick);
        app.add_flag("--overwrite", command.overwrite);
        app.add_option("--limit", limit);
    }
    if (!ParseWithCli(app, std::vector<std::string>(arguments.begin() + 1, arguments.end()),
                      error)) {
        return false;
    }
    if (help) {
        command.kind = HeadlessCommandKind::Help;
        command.helpFor = name;
        return true;
    }
    // The words CLI11 did not take, in order: arguments, unknown options and
    // "--", after which every word is an argument.
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (const std::string& word : app.remaining()) {
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && word.size() > 1 && word[0] == '-') {
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
    if (name == "get" && app.count("--pick") == 0) {
        error = "get needs --pick K, the number of the result to download (see get --help)";
        return false;
    }
    if (name == "get" && !ParsePick(pick, command.pick, error)) {
        return false;
    }
    if (name == "get" && app.count("--limit") > 0 && !ParseLimit(limit, command.limitKiB, error)) {
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
