// Pushes on the downloader's side: a download that cannot connect to a sharer
// asks the directory to have the sharer connect out instead, under a token.
// The listener hands a connection that opens with "PUSH\n<token>\n" to the
// download waiting for that token. A token is used once and expires.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/socket.h"

namespace brindle {

inline constexpr char kPushRequest[] = "PUSH\n";

class PushTokens {
  public:
    using Clock = std::chrono::steady_clock;
    explicit PushTokens(std::chrono::milliseconds lifetime = std::chrono::seconds(60));

    // A fresh token of 128 random bits as 32 lowercase hex digits, expected
    // from now on; "" when no random bytes could be had.
    [[nodiscard]] std::string Issue();
    // Waits for the connection of `token` until `deadline` or the token's
    // expiry, whichever is first, or until `stop` (asked a few times a
    // second) says to give up. The token is spent either way; an invalid
    // socket when none came.
    [[nodiscard]] Socket Await(const std::string& token, Clock::time_point deadline,
                               const std::function<bool()>& stop = {});
    // The listener's side: true when `token` is expected and unexpired, and
    // its waiter takes `socket`; false (the socket closed) otherwise.
    bool Hand(std::string_view token, Socket socket);

  private:
    struct Expected {
        Clock::time_point expires;
        Socket arrived;
        bool handed = false;
    };
    void DropExpired(Clock::time_point now);

    const std::chrono::milliseconds lifetime_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::unordered_map<std::string, Expected> expected_;
};

}  // namespace brindle
