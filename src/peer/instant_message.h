// One-line messages between users: "MESSAGE\n", then "<" + sender + "> " + text + "\n".
#pragma once

#include <functional>
#include <string>

#include "base/settings.h"
#include "base/texts.h"
#include "base/ui_ports.h"
#include "directory/directory_client.h"
#include "peer/peer_options.h"

namespace brindle {

inline constexpr char kMessageRequest[] = "MESSAGE\n";
inline constexpr char kFileRequest[] = "GET\n";
// The directory's reachability probe (or anyone) may ask whether a Brindlenet
// listener is there: it answers kPongReply and closes. A peer without it
// closes at the unknown line, and the accepted connection alone counts.
inline constexpr char kPingRequest[] = "PING\n";
inline constexpr char kPongReply[] = "PONG\n";
// A GET that starts at a byte offset: the four lines of "GET\n" (with this
// first line instead), then the offset in decimal on a fifth line. A peer
// without it closes the connection at the unknown first line, sending nothing.
inline constexpr char kRangedFileRequest[] = "GETRANGE\n";
// A ranged GET that continues a kept part: the five lines of "GETRANGE\n"
// with this first line, the offset being the kept part's length. The sharer
// answers first with ResumeProofLine of its file, then the bytes from the
// offset; the downloader continues only when that line is what its own part
// gives, so what it kept is exactly the start of the sharer's file.
inline constexpr char kResumeRequest[] = "RESUME\n";
// A GETRANGE that waits in line for a free upload slot: the five lines of
// "GETRANGE\n" with this first line (offset 0 for a whole file). The sharer
// answers kQueueStartLine and the bytes from the offset once a slot is free;
// until then it sends QueuePositionLine at once, whenever the position
// changes and at least every keep-alive period. A peer without it closes at
// the unknown first line, sending nothing.
inline constexpr char kQueueRequest[] = "QUEUE\n";
inline constexpr char kQueueStartLine[] = "START\n";
// A RESUME that waits in line: the five lines of "RESUME\n" with this first
// line, the offset being the kept part's length. The sharer answers like
// "QUEUE\n", and once a slot is free sends kQueueStartLine, then the same
// proof line and bytes as "RESUME\n". A peer without it closes at the
// unknown first line, sending nothing.
inline constexpr char kQueuedResumeRequest[] = "QUEUERESUME\n";
inline constexpr char kQueuePositionWord[] = "POSITION ";

// "POSITION <n>\n": `position` requests are served before this one, plus one.
inline std::string QueuePositionLine(std::size_t position) {
    return kQueuePositionWord + std::to_string(position) + "\n";
}

// "<published size> <BLAKE2b-256 of the bytes before the offset, hex>\n"
inline std::string ResumeProofLine(long long size, const std::string& digest) {
    return std::to_string(size) + " " + digest + "\n";
}

// "<" + userName + "> " + text + "\n"
std::string BuildMessageLine(const std::string& userName, const std::string& text);

enum class MessageResult {
    Sent,
    LookupFailed,
    NotRegistered,
    NotLoggedIn,
    ConnectFailed,
    HeaderFailed,
    LineFailed,
};

// Connects to a peer's listener and sends the request word and the line.
MessageResult DeliverMessageLine(const std::string& address, const std::string& line,
                                 const PeerOptions& options);

// What the send command works with.
struct MessageContext {
    const AppSettings& settings;
    IMessageBox& messages;
    IMessageDisplay& display;
    // The directory server's answer for a user.
    std::function<LookupResult(const std::string&)> lookupUserIp;
    PeerOptions options;
    // Sends the text through the directory to a user who cannot be connected
    // to but waits there; true when the directory took it. May stay empty.
    std::function<bool(const std::string& recipient, const std::string& text)> relay;
};

// Looks the recipient up, sends the message and shows the line in the
// sender's own display; every failure is shown in a message box. When the
// recipient's port cannot be connected to (refused or timed out), the
// message goes through the relay instead, if there is one.
MessageResult SendMessageToPeer(const MessageContext& context, const std::string& recipient,
                                const std::string& text);

// The message box text of a failed send ("" for Sent).
std::string MessageFailureText(MessageResult result, const std::string& recipient,
                               const std::string& address, const std::string& serverUrl);

// Shows the message line of a "MESSAGE\n" request in the display, whole and
// exactly as received: up to and including its line feed, or its first 1023 bytes.
void ReceiveInstantMessage(const std::string& line, IMessageDisplay& display);

}  // namespace brindle
