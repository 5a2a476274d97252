// The client side of the directory server's events: registration,
// unregistration, user lookup and the reachability probe.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "base/ui_ports.h"
#include "net/http_client.h"
#include "share/shared_files.h"

namespace brindle {

// Told why a request could not connect, when there is more to say than the
// message of the step (a refused certificate, for instance).
using ConnectFailureReporter =
    std::function<void(const ServerAddress& server, const std::string& reason)>;

// What one directory-server request needs: the settings of the moment, where
// messages and progress go, and the request time limits.
struct DirectoryContext {
    const AppSettings& settings;
    IMessageBox& messages;
    IProgressFactory& progress;
    RequestTimeouts timeouts{};
    ConnectFailureReporter connectFailed{};  // may stay empty
};

// PostForm with the context's URL and limits; a connect failure with a reason
// is also passed to the context's reporter.
[[nodiscard]] FormReply PostToServer(const DirectoryContext& context, const FormPost& post);

struct RegistrationState {
    bool registered = false;             // the server accepted a registration; never reset
    bool registrationAttempted = false;  // a registration was started since start-up
    std::vector<std::string> fileListPieces;
};

// "count=N", then one "&fileI=NAME&sizeI=SIZE" piece per file. Returns the total length.
long long BuildFileListPieces(const SharedFileList& files, std::vector<std::string>& pieces);

// Sends onRegisterUser with the whole file list, stepping a progress bar by
// each piece sent. True only on the reply "OK\n". Shows "Bad password for that
// username!" and "Registred with server!" itself.
[[nodiscard]] bool RegisterWithServer(const DirectoryContext& context, const SharedFileList& files,
                                      RegistrationState& state);

// Sends onUnregisterUser. True only on the reply "OK\n"; shows nothing.
[[nodiscard]] bool UnregisterFromServer(const DirectoryContext& context);

// What the directory server said of a user whose address was asked for.
struct LookupResult {
    enum class Kind {
        Address,        // any other reply line, even one cut short before its line feed
        NotRegistered,  // "NOT-REGISTERED"
        NotLoggedIn,    // "NOT-LOGGED-IN"
        Failed,         // no reply line: no connection, an error reply, nothing sent
    };
    Kind kind = Kind::Failed;
    // For Address: the reply line less the line feeds, carriage returns, tabs,
    // vertical tabs and backspaces at its end (may be empty).
    std::string address;

    bool operator==(const LookupResult&) const = default;
};

// Asks for a user's address. A status word counts with or without its line
// feed; one with anything else at its end ("NOT-REGISTERED\r\n") is an address.
[[nodiscard]] LookupResult LookupUserIp(const DirectoryContext& context,
                                        const std::string& userName);

// What the directory's reachability probe said of this user's peer port.
enum class ReachAnswer {
    Reachable,    // "REACHABLE": the directory's connection was accepted
    Unreachable,  // "UNREACHABLE"
    BadPassword,  // "BAD-PASSWORD"
    NotLoggedIn,  // "NOT-LOGGED-IN" (or "NOT-REGISTERED")
    Unknown,      // anything else: a directory without the probe, no reply, an error
};

// Sends onCheckReachable with the settings' user name and password. The
// directory connects back to the address the request came from, which takes
// up to 3 s; shows nothing.
[[nodiscard]] ReachAnswer CheckReachable(const DirectoryContext& context);

}  // namespace brindle
