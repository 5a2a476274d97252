#include "directory/directory_client.h"

#include <memory>

#include "base/texts.h"

namespace brindle {

namespace {

// Sends one form body with its header block on a request connection of its own
// and reads the first reply line. False when any step failed.
bool PostAndReadLine(const DirectoryContext& context, const std::string& body, std::string& line) {
    const Deadline deadline = RequestDeadline(context.timeouts);
    ServerAddress server;
    if (!ParseServerUrl(context.settings.serverUrl, server)) {
        return false;
    }
    Socket socket = OpenRequestConnection(server, context.timeouts, deadline);
    if (!socket) {
        return false;
    }
    const int fd = socket.fd();
    return SendAll(fd, BuildPostHeaders(server, static_cast<long long>(body.size())), deadline) &&
           SendAll(fd, body, deadline) && SkipResponseHeaders(fd, deadline) &&
           ReceiveLine(fd, line, deadline);
}

std::string RegistrationPrefix(const AppSettings& settings) {
    return "event=onRegisterUser&userName=" + UrlEncodeValue(settings.userName) +
           "&connection=" + UrlEncodeValue(settings.connection) +
           "&password=" + UrlEncodeValue(settings.password) + "&";
}

}  // namespace

long long BuildFileListPieces(const SharedFileList& files, std::vector<std::string>& pieces) {
    pieces.clear();
    pieces.reserve(files.size() + 1);
    pieces.push_back("count=" + std::to_string(files.size()));
    long long total = static_cast<long long>(pieces.back().size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string index = std::to_string(i);
        // Sizes go out in full: a file of 2 GiB or more is published with its true length.
        pieces.push_back("&file" + index + "=" + UrlEncodeValue(files[i].name) + "&size" + index +
                         "=" + std::to_string(files[i].size));
        total += static_cast<long long>(pieces.back().size());
    }
    return total;
}

bool SendFileListPieces(int fd, const std::vector<std::string>& pieces, IProgressWindow& bar,
                        Deadline deadline) {
    for (const std::string& piece : pieces) {
        bar.SetStep(static_cast<long long>(piece.size()));
        if (!SendAll(fd, piece, deadline)) {
            return false;
        }
        bar.StepIt();
    }
    return true;
}

bool RegisterWithServer(const DirectoryContext& context, const SharedFileList& files,
                        RegistrationState& state) {
    state.registrationAttempted = true;
    const Deadline deadline = RequestDeadline(context.timeouts);
    ServerAddress server;
    if (!ParseServerUrl(context.settings.serverUrl, server)) {
        return false;
    }
    Socket socket = OpenRequestConnection(server, context.timeouts, deadline);
    if (!socket) {
        return false;
    }
    const std::string prefix = RegistrationPrefix(context.settings);
    const long long total =
        static_cast<long long>(prefix.size()) + BuildFileListPieces(files, state.fileListPieces);

    std::unique_ptr<IProgressWindow> window = context.progress.OpenProgress();
    window->SetStatus(kProgressRegistering);
    window->SetRange(total);

    const int fd = socket.fd();
    if (!SendAll(fd, BuildPostHeaders(server, total), deadline) || !SendAll(fd, prefix, deadline)) {
        return false;
    }
    window->SetStep(static_cast<long long>(prefix.size()));
    window->StepIt();

    std::string line;
    if (!SendFileListPieces(fd, state.fileListPieces, *window, deadline) ||
        !SkipResponseHeaders(fd, deadline) || !ReceiveLine(fd, line, deadline)) {
        return false;
    }
    if (line == "BAD-PASSWORD\n") {
        window->Hide();
        context.messages.ShowMessage(kBadPasswordText, MessageIcon::Error);
        return false;
    }
    if (line == "OK\n") {
        window->Hide();
        context.messages.ShowMessage(kRegisteredText, MessageIcon::None);
        state.registered = true;
        return true;
    }
    return false;
}

bool UnregisterFromServer(const DirectoryContext& context) {
    const std::string body =
        "event=onUnregisterUser&userName=" + UrlEncodeValue(context.settings.userName) +
        "&password=" + UrlEncodeValue(context.settings.password);
    std::string line;
    return PostAndReadLine(context, body, line) && line == "OK\n";
}

std::string LookupUserIp(const DirectoryContext& context, const std::string& userName) {
    const std::string body = "event=onLookupUserIP&userName=" + UrlEncodeValue(userName);
    std::string line;
    if (!PostAndReadLine(context, body, line)) {
        return {};
    }
    if (line == "NOT-REGISTERED\n") {
        return "NOT-REGISTERED";
    }
    if (line == "NOT-LOGGED-IN\n") {
        return "NOT-LOGGED-IN";
    }
    return line;
}

}  // namespace brindle
