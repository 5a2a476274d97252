// Pushes on the sharer's side: the directory relays "PUSH ADDRESS TOKEN NAME"
// from a downloader that this peer's listener cannot be reached by; the peer
// connects to ADDRESS, sends "PUSH\n<token>\n" and then serves the request
// that comes back on that connection exactly as one its listener accepted.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "peer/peer_listener.h"
#include "share/shared_files.h"

namespace brindle {

struct PushOrder {
    std::string address;
    std::string token;
    std::string fileName;
    bool operator==(const PushOrder&) const = default;
};

// The order in a "PUSH ADDRESS TOKEN NAME" line (with or without its line
// feed); none when the line has another form or the token is not 32 hex digits.
[[nodiscard]] std::optional<PushOrder> ParsePushLine(std::string_view line);

// Connects to the order's address on `port` within `connectTimeout`, sends the
// token and hands the connection to `listener`. False, having sent nothing,
// when the name is not shared here; false when the connect fails.
[[nodiscard]] bool AnswerPush(const PushOrder& order, PeerListener& listener,
                              const SharedFilesHolder& files, int port,
                              std::chrono::milliseconds connectTimeout);

}  // namespace brindle
