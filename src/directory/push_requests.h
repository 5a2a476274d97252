// The directory's waiting line, the client side: a peer that cannot accept
// connections waits for pushes and messages; a downloader asks for a push;
// a message goes to a user through the directory.
#pragma once

#include <string>

#include "directory/directory_client.h"

namespace brindle {

// The directory answers a waiting request after at most this long ("NONE").
inline constexpr std::chrono::seconds kPushWaitReply{60};

struct WaitReply {
    enum class Kind {
        None,     // "NONE": nothing came, wait again
        Push,     // "PUSH ADDRESS TOKEN NAME"
        Message,  // "MESSAGE FROM TEXT"
        Refused,  // any other reply line: a bad password, not logged in, busy
        Failed,   // no reply line
    };
    Kind kind = Kind::Failed;
    std::string line;  // the reply line, its line feed removed
};

// Sends onWaitForPush and waits for its reply, longer than the directory holds it.
[[nodiscard]] WaitReply WaitForPush(const DirectoryContext& context);

enum class RelayResult {
    Sent,        // "OK": delivered to the waiting request or kept for the next
    NotWaiting,  // "NOT-WAITING": the user is not in the waiting line
    Refused,     // any other reply (rate limit, bad token, not logged in)
    Failed,      // no reply
};

// Sends onRequestPush for `fileName` of `target` under `token`.
[[nodiscard]] RelayResult RequestPush(const DirectoryContext& context, const std::string& target,
                                      const std::string& fileName, const std::string& token);
// Sends onSendMessage: `text` to `target` through its waiting request.
[[nodiscard]] RelayResult SendRelayedMessage(const DirectoryContext& context,
                                             const std::string& target, const std::string& text);

// The sender and text of a relayed "MESSAGE FROM TEXT" line (the sender's
// blanks and "%" come escaped as %XX); false for another form.
[[nodiscard]] bool ParseRelayedMessage(const std::string& line, std::string& from,
                                       std::string& text);

}  // namespace brindle
