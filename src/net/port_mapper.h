// Port mapping on the home router: asks the router for TCP port 2000 with
// NAT-PMP, then UPnP-IGD, on a thread of its own; renews the lease at its
// half-life and removes the mapping when stopped. A port already mapped to
// another machine is reported as a conflict and never taken over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace brindle {

enum class MappingMethod { None, NatPmp, Upnp };

enum class MappingState {
    Off,          // port mapping is switched off
    Discovering,  // the first attempt is still running
    Mapped,       // the router forwards the port to this machine
    Conflict,     // the router maps the port to another machine already
    NoRouter,     // no router answered NAT-PMP or UPnP
    Failed,       // a router answered but refused or failed the mapping
};

// What port mapping has achieved, as the front ends show it.
struct MappingSnapshot {
    MappingState state = MappingState::Off;
    MappingMethod method = MappingMethod::None;  // the router's protocol, once one answered
    std::string externalAddress;                 // the router's public address, when known
    int externalPort = 0;                        // when Mapped
    std::string reason;                          // for Conflict, NoRouter and Failed

    bool operator==(const MappingSnapshot&) const = default;
};

// "NAT-PMP", "UPnP" or "none".
std::string_view MappingMethodName(MappingMethod method);

// The outcome of one request to the router.
struct MappingAttempt {
    enum class Outcome { Mapped, Conflict, NoRouter, Failed };
    Outcome outcome = Outcome::NoRouter;
    MappingMethod method = MappingMethod::None;  // the protocol that answered
    std::string externalAddress;
    std::chrono::seconds lease{0};  // granted; 0 for a permanent mapping
    std::string reason;
};

// One protocol for asking the router. Each call ends within the protocol's
// discovery limit.
class IMappingProtocol {
  public:
    virtual ~IMappingProtocol() = default;
    [[nodiscard]] virtual MappingMethod method() const = 0;
    // Maps (or renews) external TCP `port` to this machine's `port`.
    [[nodiscard]] virtual MappingAttempt Map(int port, std::chrono::seconds lease) = 0;
    // Removes the mapping this object made, if it is still this machine's.
    virtual void Unmap(int port) = 0;
};

// NAT-PMP to the default gateway, and UPnP-IGD found by SSDP, each giving up
// after `limit`.
std::unique_ptr<IMappingProtocol> MakeNatPmpProtocol(std::chrono::milliseconds limit);
std::unique_ptr<IMappingProtocol> MakeUpnpProtocol(std::chrono::milliseconds limit);
// Both, NAT-PMP first, with the usual limit of 2 s each.
std::vector<std::unique_ptr<IMappingProtocol>> DefaultMappingProtocols();

// Who holds the router's existing entry for the port.
enum class ExistingMapping { None, ThisMachine, OtherMachine };
// `internalClient` is the entry's internal address ("" when there is no
// entry), `ourAddress` this machine's address towards the router.
[[nodiscard]] ExistingMapping ClassifyExistingMapping(std::string_view internalClient,
                                                      std::string_view ourAddress);

using MapperClock = std::function<std::chrono::steady_clock::time_point()>;

struct PortMapperOptions {
    int port = 2000;
    std::chrono::seconds lease{3600};
    // After a failure (no router, refused, conflict) the router is asked
    // again this much later.
    std::chrono::seconds retryAfterFailure{600};
    // The shortest renewal interval, whatever the router granted.
    std::chrono::seconds minimumRenewal{60};
    // Tests pass a clock of their own; the thread then looks at it every few
    // milliseconds instead of sleeping until the renewal.
    MapperClock clock{};
};

// When to ask the router again after `attempt`: half the granted lease after
// a mapping (never sooner than the minimum, and a permanent one is checked
// again at half the asked lease), the retry time after anything else.
[[nodiscard]] std::chrono::seconds NextAttemptDelay(const MappingAttempt& attempt,
                                                    const PortMapperOptions& options);

class PortMapper {
  public:
    PortMapper(std::vector<std::unique_ptr<IMappingProtocol>> protocols,
               PortMapperOptions options = {});
    // Stop.
    ~PortMapper();
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Called on the mapper's thread whenever the snapshot changes. Set before Start.
    void SetObserver(std::function<void(const MappingSnapshot&)> observer) {
        observer_ = std::move(observer);
    }
    // Starts the thread; returns at once.
    void Start();
    // Ends the thread and removes the mapping made. Runs once.
    void Stop();

    [[nodiscard]] MappingSnapshot snapshot() const;
    // Requests sent to the router so far, renewals included.
    [[nodiscard]] int attempts() const;

  private:
    void Run();
    MappingAttempt AttemptAll();
    void Publish(const MappingSnapshot& snapshot);
    [[nodiscard]] std::chrono::steady_clock::time_point Now() const;
    // Waits until `due` or Stop; false when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point due);

    std::vector<std::unique_ptr<IMappingProtocol>> protocols_;
    const PortMapperOptions options_;
    std::function<void(const MappingSnapshot&)> observer_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool stopped_ = false;
    MappingSnapshot snapshot_;
    int attempts_ = 0;
    IMappingProtocol* mappedWith_ = nullptr;  // the protocol holding the mapping
    std::thread thread_;
};

}  // namespace brindle
