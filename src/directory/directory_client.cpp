#include "directory/directory_client.h"

#include <memory>

#include "base/strings.h"
#include "base/texts.h"

namespace brindle {

namespace {

// Sends one form body on a request connection of its own and reads the first
// reply line. False when any step failed.
bool PostAndReadLine(const DirectoryContext& context, const std::string& body, std::string& line) {
    FormPost post;
    post.body = [&body] { return std::vector<std::string_view>{body}; };
    FormReply reply = PostToServer(context, post);
    return reply && reply.ReadLine(line);
}

std::string RegistrationPrefix(const AppSettings& settings) {
    return "event=onRegisterUser&userName=" + UrlEncodeValue(settings.userName) +
           "&connection=" + UrlEncodeValue(settings.connection) +
           "&password=" + UrlEncodeValue(settings.password) + "&";
}

}  // namespace

FormReply PostToServer(const DirectoryContext& context, const FormPost& post) {
    FormReply reply = PostForm(context.settings.serverUrl, context.timeouts, post);
    if (reply.failure == PostFailure::Connect && !reply.failureReason.empty() &&
        context.connectFailed) {
        context.connectFailed(reply.server, reply.failureReason);
    }
    return reply;
}

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

bool RegisterWithServer(const DirectoryContext& context, const SharedFileList& files,
                        RegistrationState& state) {
    state.registrationAttempted = true;
    FormReply reply;
    std::string prefix;
    std::unique_ptr<IProgressWindow> window;
    FormPost post;
    // The file list and the bar come only once the server has been reached.
    post.body = [&] {
        prefix = RegistrationPrefix(context.settings);
        const long long total = static_cast<long long>(prefix.size()) +
                                BuildFileListPieces(files, state.fileListPieces);
        window = context.progress.OpenProgress();
        window->SetStatus(kProgressRegistering);
        window->SetRange(total);
        std::vector<std::string_view> pieces{prefix};
        pieces.insert(pieces.end(), state.fileListPieces.begin(), state.fileListPieces.end());
        return pieces;
    };
    post.pieceSent = [&](std::string_view piece) {
        window->SetStep(static_cast<long long>(piece.size()));
        window->StepIt();
    };
    reply = PostToServer(context, post);
    std::string line;
    if (!reply || !reply.ReadLine(line)) {
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

LookupResult LookupUserIp(const DirectoryContext& context, const std::string& userName) {
    using Kind = LookupResult::Kind;
    const std::string body = "event=onLookupUserIP&userName=" + UrlEncodeValue(userName);
    std::string line;
    if (!PostAndReadLine(context, body, line) || line.empty()) {
        return {Kind::Failed, {}};
    }
    if (line == "NOT-REGISTERED\n" || line == "NOT-REGISTERED") {
        return {Kind::NotRegistered, {}};
    }
    if (line == "NOT-LOGGED-IN\n" || line == "NOT-LOGGED-IN") {
        return {Kind::NotLoggedIn, {}};
    }
    return {Kind::Address, TrimTrailing(std::move(line), "\r\n\t\v\b")};
}

ReachAnswer CheckReachable(const DirectoryContext& context) {
    const std::string body =
        "event=onCheckReachable&userName=" + UrlEncodeValue(context.settings.userName) +
        "&password=" + UrlEncodeValue(context.settings.password);
    std::string line;
    if (!PostAndReadLine(context, body, line)) {
        return ReachAnswer::Unknown;
    }
    if (line == "REACHABLE\n") {
        return ReachAnswer::Reachable;
    }
    if (line == "UNREACHABLE\n") {
        return ReachAnswer::Unreachable;
    }
    if (line == "BAD-PASSWORD\n") {
        return ReachAnswer::BadPassword;
    }
    if (line == "NOT-LOGGED-IN\n" || line == "NOT-REGISTERED\n") {
        return ReachAnswer::NotLoggedIn;
    }
    return ReachAnswer::Unknown;
}

}  // namespace brindle
