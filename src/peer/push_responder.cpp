#include "peer/push_responder.h"

#include "peer/push_tokens.h"
#include "peer/upload.h"

namespace brindle {

std::optional<PushOrder> ParsePushLine(std::string_view line) {
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
    }
    constexpr std::string_view kWord = "PUSH ";
    if (!line.starts_with(kWord)) {
        return std::nullopt;
    }
    line.remove_prefix(kWord.size());
    std::size_t first = line.find(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    PushOrder order{std::string(line.substr(0, first)),
                    std::string(line.substr(first + 1, second - first - 1)),
                    std::string(line.substr(second + 1))};
    bool hex = order.token.size() == 32 &&
               order.token.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (order.address.empty() || !hex || order.fileName.empty()) {
        return std::nullopt;
    }
    return order;
}

bool AnswerPush(const PushOrder& order, PeerListener& listener, const SharedFilesHolder& files,
                int port, std::chrono::milliseconds connectTimeout) {
    if (!IsServableName(files.Get()->files, order.fileName)) {
        return false;
    }
    Socket socket = ConnectToAddress(order.address, port, connectTimeout);
    if (!socket) {
        return false;
    }
    std::string opening = std::string(kPushRequest) + order.token + "\n";
    if (!SendAll(socket.fd(), opening, std::chrono::steady_clock::now() + connectTimeout)) {
        return false;
    }
    return listener.Adopt(std::move(socket));
}

}  // namespace brindle
