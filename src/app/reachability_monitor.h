// Whether other users can reach this peer's port from the internet: the
// router's port mapping and the directory's probe, combined into one status.
// The probe runs after each registration and every 10 minutes, on a thread of
// its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory/directory_client.h"
#include "net/port_mapper.h"

namespace brindle {

enum class Reachability {
    Unknown,       // no probe answer yet, or the directory has no probe
    Reachable,     // the directory's connection to the peer port was accepted
    NotReachable,  // it was not
};

struct ReachabilityStatus {
    Reachability reachable = Reachability::Unknown;
    MappingSnapshot mapping;
    std::optional<ReachAnswer> probe;  // the last probe answer; none before the first
    int port = 2000;

    bool operator==(const ReachabilityStatus&) const = default;
};

// The status of a mapping and the last probe answer.
[[nodiscard]] ReachabilityStatus CombineReachability(const MappingSnapshot& mapping,
                                                     std::optional<ReachAnswer> probe, int port);

// Why the port cannot be reached, from what the mapping found: "port mapping
// is off", "no router answered NAT-PMP or UPnP", the router's refusal or the
// conflict with another machine.
[[nodiscard]] std::string NotReachableReason(const ReachabilityStatus& status);

// False when the environment variable BRINDLENET_NO_REACHABILITY is set and
// not empty: then neither the router nor the directory's probe is asked.
[[nodiscard]] bool ReachabilityAllowedByEnvironment();

struct ReachabilityOptions {
    bool enabled = ReachabilityAllowedByEnvironment();
    int port = 2000;
    std::chrono::milliseconds probeInterval{std::chrono::minutes(10)};
    // The router protocols to try; tests pass their own.
    std::function<std::vector<std::unique_ptr<IMappingProtocol>>()> protocols =
        DefaultMappingProtocols;
    PortMapperOptions mapper{};
};

class ReachabilityMonitor {
  public:
    using Probe = std::function<ReachAnswer()>;
    ReachabilityMonitor(Probe probe, ReachabilityOptions options);
    // Stop.
    ~ReachabilityMonitor();
    ReachabilityMonitor(const ReachabilityMonitor&) = delete;
    ReachabilityMonitor& operator=(const ReachabilityMonitor&) = delete;

    // Called on the monitor's threads, one call at a time, whenever the status
    // changes. Set before Start.
    void SetObserver(std::function<void(const ReachabilityStatus&)> observer) {
        observer_ = std::move(observer);
    }
    // Starts the probe thread and, with `portMapping`, the port mapping.
    // Returns at once.
    void Start(bool portMapping);
    // Starts or stops the port mapping (the preference changed).
    void SetPortMapping(bool portMapping);
    // Probes again soon (after a registration); waits for the first mapping
    // attempt to end first, so the probe sees its result.
    void ProbeSoon();
    // Ends the threads and removes the mapping. Runs once.
    void Stop();

    [[nodiscard]] ReachabilityStatus status() const;
    // Probes sent so far.
    [[nodiscard]] int probes() const;

  private:
    void RunProbes();
    void Update(std::optional<MappingSnapshot> mapping, std::optional<ReachAnswer> probe);

    const Probe probe_;
    const ReachabilityOptions options_;
    std::function<void(const ReachabilityStatus&)> observer_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool started_ = false;
    bool probeRequested_ = false;
    int probes_ = 0;
    MappingSnapshot mapping_;
    std::optional<ReachAnswer> lastProbe_;
    ReachabilityStatus status_;

    std::mutex notifyLock_;  // one observer call at a time, in order
    std::mutex mapperLock_;  // Start, SetPortMapping and Stop of the mapper
    std::unique_ptr<PortMapper> mapper_;
    std::thread probeThread_;
};

}  // namespace brindle
