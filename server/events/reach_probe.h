// The connect-back of the reachability probe: whether a TCP connection to an
// address and port is accepted within a time limit. Behind an interface so
// the dispatcher can be tested without sockets.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace brindle::server {

class IReachProbe {
  public:
    virtual ~IReachProbe() = default;
    // True when a connection to `address` (dotted IPv4 or IPv6 text) on
    // `port` was accepted within `limit`.
    [[nodiscard]] virtual bool Connect(const std::string& address, int port,
                                       std::chrono::milliseconds limit) = 0;
};

// Connects with a plain TCP socket; on success sends "PING\n" (a Brindlenet
// listener answers "PONG\n", an older one closes) and closes without waiting.
class TcpReachProbe final : public IReachProbe {
  public:
    [[nodiscard]] bool Connect(const std::string& address, int port,
                               std::chrono::milliseconds limit) override;
};

struct ReachProbeOptions {
    int port = 2000;
    std::chrono::milliseconds limit{3000};
    // One connect-back per address in this time; other probes get its result.
    std::chrono::seconds interval{60};
    std::function<std::chrono::steady_clock::time_point()> clock{};  // steady_clock when empty
};

// At most one connect-back per address per interval. A probe within the
// interval gets the result of the last connect-back to that address without a
// new one; a probe arriving while one runs waits for its result.
class ReachProbeLimiter {
  public:
    ReachProbeLimiter(IReachProbe& probe, ReachProbeOptions options);

    struct Result {
        bool reachable = false;
        bool connected = false;  // false: the answer came from an earlier connect-back
    };
    Result Check(const std::string& address);

    [[nodiscard]] const ReachProbeOptions& options() const { return options_; }

  private:
    struct Entry {
        std::chrono::steady_clock::time_point started;
        std::optional<bool> reachable;  // empty while the connect-back runs
    };
    [[nodiscard]] std::chrono::steady_clock::time_point Now() const;

    IReachProbe& probe_;
    const ReachProbeOptions options_;
    std::mutex lock_;
    std::condition_variable finished_;
    std::map<std::string, Entry> entries_;
};

}  // namespace brindle::server
