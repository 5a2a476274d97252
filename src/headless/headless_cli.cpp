#include "headless/headless_cli.h"

#include <limits>
#include <optional>

#include "base/cli_parse.h"
#include "base/preferences.h"
#include "base/strings.h"
#include "headless/web_server.h"

namespace brindle {

namespace {

constexpr char kServeUsage[] =
    "brindlenet-peer serve\n"
    "    Listens on port 2000, registers with the directory server of config.txt\n"
    "    and serves the files of the shared directory until SIGINT or SIGTERM.\n"
    "    Received messages go to standard output; notices and upload progress to\n"
    "    standard error. Upload slots and rate limits come from preferences.conf,\n"
    "    read again on SIGHUP.\n"
    "brindlenet-peer serve --web ADDR:PORT [--web-host NAME]...\n"
    "                      [--web-tls-cert FILE --web-tls-key FILE]\n"
    "    Serves as above, and the web page and its JSON API on ADDR:PORT (such as\n"
    "    127.0.0.1:8081); it needs a password set with 'web-password' first.\n"
    "    --web-host names a host name the browser may use (repeatable); the bound\n"
    "    address is always allowed. --web-tls-cert and --web-tls-key serve it over\n"
    "    HTTPS, the files read again on SIGHUP.\n";
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
constexpr char kWebPasswordUsage[] =
    "brindlenet-peer web-password\n"
    "    Reads a new password for the web page twice from standard input (not\n"
    "    shown on a terminal) and keeps only its hash in preferences.conf.\n";

bool ParsePick(const std::string& text, long long& pick, std::string& error) {
    const std::optional<long long> value =
        ParseDecimal<long long>(text, 1, std::numeric_limits<long long>::max());
    if (!value) {
        error = "--pick needs a result number from 1 up, not '" + text + "'";
        return false;
    }
    pick = *value;
    return true;
}

bool ParseLimit(const std::string& text, long long& limit, std::string& error) {
    const std::optional<long long> value = ParseDecimal<long long>(text, 0, kMaxRateLimitKiB);
    if (!value) {
        error = "--limit needs a rate in KiB/s from 0 to " + std::to_string(kMaxRateLimitKiB) +
                ", not '" + text + "'";
        return false;
    }
    limit = *value;
    return true;
}

// What a command's parser leaves to be checked after it: the help flag, and
// --pick and --limit as typed.
struct TypedOptions {
    bool help = false;
    std::string pick;
    std::string limit;
};

CLI::App* AddCommand(CLI::App& app, const std::string& name, TypedOptions& typed) {
    CLI::App* command = app.add_subcommand(name);
    command->add_flag("-h,--help", typed.help);
    return command;
}

// One subcommand for each command, with the options it knows; the values go
// straight into `command` or, to be checked later, into `typed`.
void AddCommands(CLI::App& app, HeadlessCommand& command, TypedOptions& typed) {
    app.set_help_flag();  // --help prints HeadlessUsage(), not CLI11's own listing
    app.allow_extras();   // unknown options are reported in this program's wording
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // The subcommands take the settings above from `app`.
    CLI::App* serve = AddCommand(app, "serve", typed);
    serve->add_option("--web", command.webAddress);
    serve->add_option("--web-host", command.webHosts)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    serve->add_option("--web-tls-cert", command.webTlsCertificate);
    serve->add_option("--web-tls-key", command.webTlsKey);
    CLI::App* search = AddCommand(app, "search", typed);
    CLI::App* get = AddCommand(app, "get", typed);
    for (CLI::App* searching : {search, get}) {
        searching->add_option("--ext", command.extension);
        searching->add_option("--max", command.maxResults);
    }
    get->add_option("--pick", typed.pick);
    get->add_flag("--overwrite", command.overwrite);
    get->add_option("--limit", typed.limit);
    AddCommand(app, "send", typed);
    AddCommand(app, "web-password", typed);
}

CLI::App* FindCommand(CLI::App& app, const std::string& name) {
    std::vector<CLI::App*> found =
        app.get_subcommands([&name](CLI::App* command) { return command->get_name() == name; });
    return found.empty() ? nullptr : found.front();
}

// The words the command's parser did not take, in order: arguments, unknown
// options and "--", after which every word is an argument.
bool CollectArguments(const CLI::App& parser, const std::string& name,
                      std::vector<std::string>& arguments, std::string& error) {
    bool optionsEnded = false;
    for (const std::string& word : parser.remaining()) {
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && word.size() > 1 && word[0] == '-') {
            error = "unknown option '" + word + "' for " + name + " (see " + name + " --help)";
            return false;
        } else {
            arguments.push_back(word);
        }
    }
    return true;
}

bool CheckArgumentCount(const std::string& name, const std::vector<std::string>& arguments,
                        std::string& error) {
    const bool none = name == "serve" || name == "web-password";
    const std::size_t wanted = none ? 0 : name == "send" ? 2 : 1;
    if (arguments.size() == wanted) {
        return true;
    }
    const char* shape = none             ? "takes no arguments"
                        : name == "send" ? "needs USER and TEXT"
                                         : "needs one QUERY (quote it if it has spaces)";
    error = name + " " + shape + " (see " + name + " --help)";
    return false;
}

// get's --pick, which it needs, and --limit, which it may have.
bool ReadGetNumbers(const CLI::App& parser, const TypedOptions& typed, HeadlessCommand& command,
                    std::string& error) {
    if (parser.count("--pick") == 0) {
        error = "get needs --pick K, the number of the result to download (see get --help)";
        return false;
    }
    if (!ParsePick(typed.pick, command.pick, error)) {
        return false;
    }
    return parser.count("--limit") == 0 || ParseLimit(typed.limit, command.limitKiB, error);
}

// serve's web options: an address it can bind, and both HTTPS files or neither.
bool CheckWebOptions(const HeadlessCommand& command, std::string& error) {
    const bool others = !command.webHosts.empty() || !command.webTlsCertificate.empty() ||
                        !command.webTlsKey.empty();
    if (command.webAddress.empty()) {
        if (others) {
            error = "--web-host, --web-tls-cert and --web-tls-key need --web (see serve --help)";
            return false;
        }
        return true;
    }
    std::string address;
    int port = 0;
    if (!ParseWebAddress(command.webAddress, address, port)) {
        error = "--web needs ADDR:PORT such as 127.0.0.1:8081 or [::1]:8081, not '" +
                command.webAddress + "'";
        return false;
    }
    if (command.webTlsCertificate.empty() != command.webTlsKey.empty()) {
        error = "--web-tls-cert and --web-tls-key go together (see serve --help)";
        return false;
    }
    return true;
}

void SetArguments(const std::string& name, const std::vector<std::string>& arguments,
                  HeadlessCommand& command) {
    if (name == "serve") {
        command.kind = HeadlessCommandKind::Serve;
    } else if (name == "web-password") {
        command.kind = HeadlessCommandKind::WebPassword;
    } else if (name == "search" || name == "get") {
        command.kind = name == "search" ? HeadlessCommandKind::Search : HeadlessCommandKind::Get;
        command.query = arguments[0];
    } else {
        command.kind = HeadlessCommandKind::Send;
        command.user = arguments[0];
        command.text = arguments[1];
    }
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
    if (command == "web-password") {
        return kWebPasswordUsage;
    }
    return std::string(
               "Brindlenet V1.0 without a window. Reads config.txt from the working "
               "directory.\n\n") +
           kServeUsage + kSearchUsage + kGetUsage + kSendUsage + kWebPasswordUsage +
           "Each command takes --help.\n";
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
    CLI::App app;
    TypedOptions typed;
    AddCommands(app, command, typed);
    CLI::App* parser = FindCommand(app, name);
    if (parser == nullptr) {
        error = "unknown command '" + name + "' (see --help)";
        return false;
    }
    // The command's own parser reads the words after its name as a program of
    // its own would: as a subcommand CLI11 would end it at a "++" and hand the
    // words after "--" back to `app`.
    if (!ParseWithCli(*parser, std::vector<std::string>(arguments.begin() + 1, arguments.end()),
                      error)) {
        return false;
    }
    if (typed.help) {
        command.kind = HeadlessCommandKind::Help;
        command.helpFor = name;
        return true;
    }
    std::vector<std::string> positional;
    if (!CollectArguments(*parser, name, positional, error) ||
        !CheckArgumentCount(name, positional, error) ||
        (name == "get" && !ReadGetNumbers(*parser, typed, command, error)) ||
        (name == "serve" && !CheckWebOptions(command, error))) {
        return false;
    }
    SetArguments(name, positional, command);
    return true;
}

}  // namespace brindle
