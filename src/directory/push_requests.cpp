#include "directory/push_requests.h"

#include <algorithm>
#include <cctype>

namespace brindle {
namespace {

std::string Credentials(const AppSettings& settings) {
    return "&userName=" + UrlEncodeValue(settings.userName) +
           "&password=" + UrlEncodeValue(settings.password);
}

bool ReplyLine(const DirectoryContext& context, const std::string& body, std::string& line) {
    FormPost post;
    post.body = [&body] { return std::vector<std::string_view>{body}; };
    FormReply reply = PostToServer(context, post);
    if (!reply || !reply.ReadLine(line) || line.empty()) {
        return false;
    }
    if (line.back() == '\n') {
        line.pop_back();
    }
    return true;
}

RelayResult Relay(const DirectoryContext& context, const std::string& body) {
    std::string line;
    if (!ReplyLine(context, body, line)) {
        return RelayResult::Failed;
    }
    if (line == "OK") {
        return RelayResult::Sent;
    }
    return line == "NOT-WAITING" ? RelayResult::NotWaiting : RelayResult::Refused;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

WaitReply WaitForPush(const DirectoryContext& context) {
    DirectoryContext waiting = context;
    // The reply may take the directory's whole holding time.
    waiting.timeouts.idle =
        std::max(waiting.timeouts.idle,
                 std::chrono::milliseconds(kPushWaitReply) + std::chrono::seconds(15));
    waiting.timeouts.total =
        std::max(waiting.timeouts.total, waiting.timeouts.idle + waiting.timeouts.connect);
    WaitReply reply;
    if (!ReplyLine(waiting, "event=onWaitForPush" + Credentials(context.settings), reply.line)) {
        return reply;
    }
    if (reply.line == "NONE") {
        reply.kind = WaitReply::Kind::None;
    } else if (reply.line.starts_with("PUSH ")) {
        reply.kind = WaitReply::Kind::Push;
    } else if (reply.line.starts_with("MESSAGE ")) {
        reply.kind = WaitReply::Kind::Message;
    } else {
        reply.kind = WaitReply::Kind::Refused;
    }
    return reply;
}

RelayResult RequestPush(const DirectoryContext& context, const std::string& target,
                        const std::string& fileName, const std::string& token) {
    return Relay(context, "event=onRequestPush" + Credentials(context.settings) +
                              "&target=" + UrlEncodeValue(target) +
                              "&file=" + UrlEncodeValue(fileName) + "&token=" + token);
}

RelayResult SendRelayedMessage(const DirectoryContext& context, const std::string& target,
                               const std::string& text) {
    return Relay(context, "event=onSendMessage" + Credentials(context.settings) + "&target=" +
                              UrlEncodeValue(target) + "&text=" + UrlEncodeValue(text));
}

bool ParseRelayedMessage(const std::string& line, std::string& from, std::string& text) {
    constexpr std::string_view kWord = "MESSAGE ";
    std::string_view rest(line);
    if (rest.ends_with('\n')) {
        rest.remove_suffix(1);
    }
    if (!rest.starts_with(kWord)) {
        return false;
    }
    rest.remove_prefix(kWord.size());
    std::size_t blank = rest.find(' ');
    if (blank == 0 || blank == std::string_view::npos) {
        return false;
    }
    std::string_view word = rest.substr(0, blank);
    from.clear();
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '%') {
            int high = i + 1 < word.size() ? HexValue(word[i + 1]) : -1;
            int low = i + 2 < word.size() ? HexValue(word[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return false;
            }
            from += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            from += word[i];
        }
    }
    text = std::string(rest.substr(blank + 1));
    return true;
}

}  // namespace brindle
