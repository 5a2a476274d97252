#include "peer/push_tokens.h"

#include <sys/random.h>

#include <cstdio>

namespace brindle {

PushTokens::PushTokens(std::chrono::milliseconds lifetime) : lifetime_(lifetime) {}

std::string PushTokens::Issue() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) {
            return "";
        }
        got += static_cast<std::size_t>(n);
    }
    std::string token;
    for (unsigned char byte : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        token += hex;
    }
    std::lock_guard<std::mutex> hold(lock_);
    auto now = Clock::now();
    DropExpired(now);
    expected_[token] = Expected{now + lifetime_, Socket(), false};
    return token;
}

Socket PushTokens::Await(const std::string& token, Clock::time_point deadline,
                         const std::function<bool()>& stop) {
    // How often `stop` is asked: a cancelled download ends within this.
    constexpr std::chrono::milliseconds kStopCheck{100};
    std::unique_lock<std::mutex> hold(lock_);
    auto found = expected_.find(token);
    if (found == expected_.end()) {
        return Socket();
    }
    auto until = std::min(deadline, found->second.expires);
    auto handed = [&] { return expected_.at(token).handed; };
    while (!handed() && Clock::now() < until && !(stop && stop())) {
        arrived_.wait_until(hold, std::min(until, Clock::now() + kStopCheck), handed);
    }
    Socket socket = std::move(expected_.at(token).arrived);
    expected_.erase(token);
    return socket;
}

bool PushTokens::Hand(std::string_view token, Socket socket) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = expected_.find(std::string(token));
    if (found == expected_.end() || found->second.handed || Clock::now() >= found->second.expires) {
        return false;
    }
    found->second.arrived = std::move(socket);
    found->second.handed = true;
    arrived_.notify_all();
    return true;
}

void PushTokens::DropExpired(Clock::time_point now) {
    std::erase_if(expected_, [&](const auto& entry) { return entry.second.expires <= now; });
}

}  // namespace brindle
