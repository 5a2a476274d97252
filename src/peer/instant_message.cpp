#include "peer/instant_message.h"

#include "net/socket.h"

namespace brindle {

std::string BuildMessageLine(const std::string& userName, const std::string& text) {
    return "<" + userName + "> " + text + "\n";
}

MessageResult DeliverMessageLine(const std::string& address, const std::string& line,
                                 const PeerOptions& options) {
    Socket socket = ConnectToAddress(address, options.port, options.requestTimeout);
    if (!socket) {
        return MessageResult::ConnectFailed;
    }
    SetIdleTimeout(socket.fd(), options.requestTimeout);
    // The two writes go out at once instead of waiting for the first one's ACK.
    SetNoDelay(socket.fd());
    if (!SendAll(socket.fd(), kMessageRequest, 8)) {
        return MessageResult::HeaderFailed;
    }
    if (!SendAll(socket.fd(), line)) {
        return MessageResult::LineFailed;
    }
    return MessageResult::Sent;
}

std::string MessageFailureText(MessageResult result, const std::string& recipient,
                               const std::string& address, const std::string& serverUrl) {
    switch (result) {
        case MessageResult::Sent:
            return "";
        case MessageResult::LookupFailed:
            return LookupFailedText(recipient);
        case MessageResult::NotRegistered:
            return NotRegisteredText(recipient, serverUrl);
        case MessageResult::NotLoggedIn:
            return NotLoggedInText(recipient);
        case MessageResult::ConnectFailed:
            return PeerConnectFailedText(address);
        case MessageResult::HeaderFailed:
            return MessageHeaderFailedText(address);
        case MessageResult::LineFailed:
            return MessageLineFailedText(address);
    }
    return "";
}

MessageResult SendMessageToPeer(const MessageContext& context, const std::string& recipient,
                                const std::string& text) {
    const LookupResult found = context.lookupUserIp(recipient);
    MessageResult result = MessageResult::Sent;
    switch (found.kind) {
        case LookupResult::Kind::Failed:
            result = MessageResult::LookupFailed;
            break;
        case LookupResult::Kind::NotRegistered:
            result = MessageResult::NotRegistered;
            break;
        case LookupResult::Kind::NotLoggedIn:
            result = MessageResult::NotLoggedIn;
            break;
        case LookupResult::Kind::Address: {
            std::string line = BuildMessageLine(context.settings.userName, text);
            result = DeliverMessageLine(found.address, line, context.options);
            if (result == MessageResult::ConnectFailed && context.relay &&
                context.relay(recipient, text)) {
                result = MessageResult::Sent;
            }
            if (result == MessageResult::Sent) {
                context.display.AppendLine(line);
            }
            break;
        }
    }
    if (result != MessageResult::Sent) {
        context.messages.ShowMessage(
            MessageFailureText(result, recipient, found.address, context.settings.serverUrl),
            MessageIcon::None);
    }
    return result;
}

void ReceiveInstantMessage(const std::string& line, IMessageDisplay& display) {
    display.AppendLine(line);
}

}  // namespace brindle
