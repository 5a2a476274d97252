// The command line of brindlenet-peer, the copy without a window.
#pragma once

#include <string>
#include <vector>

namespace brindle {

enum class HeadlessCommandKind { Help, Serve, Search, Get, Send, WebPassword };

struct HeadlessCommand {
    HeadlessCommandKind kind = HeadlessCommandKind::Help;
    std::string helpFor;  // the command whose help was asked for ("" for all)
    std::string query;    // search, get
    std::string extension = "*.*";
    std::string maxResults = "100";  // sent as typed
    long long pick = 0;              // get: 1-based result number
    bool overwrite = false;          // get
    long long limitKiB = 0;          // get: this download's own rate limit, KiB/s (0: none)
    std::string user;                // send
    std::string text;                // send
    // serve: the web page's address ("" : none), host names and HTTPS files.
    std::string webAddress;
    std::vector<std::string> webHosts;
    std::string webTlsCertificate;
    std::string webTlsKey;
};

// Reads the arguments after the program name. False with a one-line `error`
// for anything it does not know.
bool ParseHeadlessArguments(const std::vector<std::string>& arguments, HeadlessCommand& command,
                            std::string& error);

// The help text of one command, or of all when `command` is empty.
std::string HeadlessUsage(const std::string& command = "");

}  // namespace brindle
