// The client side of the directory server's events: registration,
// unregistration and user lookup.
#pragma once

#include <string>
#include <vector>

#include "base/settings.h"
#include "base/ui_ports.h"
#include "share/shared_files.h"
#include "net/http_client.h"

namespace brindle {

// What one directory-server request needs: the settings of the moment, where
// messages and progress go, and the request time limits.
struct DirectoryContext {
    const AppSettings& settings;
    IMessageBox& messages;
    IProgressFactory& progress;
    RequestTimeouts timeouts{};
};

struct RegistrationState {
    bool registered = false;             // the server accepted a registration; never reset
    bool registrationAttempted = false;  // a registration was started since start-up
    std::vector<std::string> fileListPieces;
};

// "count=N", then one "&fileI=NAME&sizeI=SIZE" piece per file. Returns the total length.
long long BuildFileListPieces(const SharedFileList& files, std::vector<std::string>& pieces);

// Sends the pieces in order, stepping the bar by each piece's length.
[[nodiscard]] bool SendFileListPieces(int fd, const std::vector<std::string>& pieces,
                                      IProgressWindow& bar, Deadline deadline = kNoDeadline);

// Sends onRegisterUser with the whole file list. True only on the reply "OK\n".
// Shows "Bad password for that username!" and "Registred with server!" itself.
[[nodiscard]] bool RegisterWithServer(const DirectoryContext& context, const SharedFileList& files,
                                      RegistrationState& state);

// Sends onUnregisterUser. True only on the reply "OK\n"; shows nothing.
[[nodiscard]] bool UnregisterFromServer(const DirectoryContext& context);

// Asks for a user's address: "" when the exchange failed, "NOT-REGISTERED",
// "NOT-LOGGED-IN", or the reply line exactly as received.
std::string LookupUserIp(const DirectoryContext& context, const std::string& userName);

}  // namespace brindle
