// The two ways of asking a home router for a port: NAT-PMP (libnatpmp) and
// UPnP-IGD (miniupnpc).
#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <natpmp.h>
#include <sys/select.h>

#include <string>

#include "net/port_mapper.h"

namespace brindle {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = MappingAttempt::Outcome;

MappingAttempt Attempt(Outcome outcome, std::string reason, std::string address = {}) {
    MappingAttempt attempt;
    attempt.outcome = outcome;
    attempt.reason = std::move(reason);
    attempt.externalAddress = std::move(address);
    return attempt;
}

std::string ConflictReason(int port, const std::string& holder) {
    return "port " + std::to_string(port) + " on the router is mapped to another machine" +
           (holder.empty() ? "" : " (" + holder + ")");
}

// Closes the NAT-PMP socket when it goes.
class NatPmpSession {
  public:
    NatPmpSession() { open_ = initnatpmp(&session_, 0, 0) == 0; }
    ~NatPmpSession() {
        if (open_) {
            closenatpmp(&session_);
        }
    }
    NatPmpSession(const NatPmpSession&) = delete;
    NatPmpSession& operator=(const NatPmpSession&) = delete;

    [[nodiscard]] bool open() const { return open_; }
    natpmp_t* get() { return &session_; }

    // Reads the answer to the request just sent, resending as the library
    // asks, until `deadline`. NATPMP_TRYAGAIN when none came in time.
    int Answer(natpmpresp_t& response, Clock::time_point deadline) {
        for (;;) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return NATPMP_TRYAGAIN;
            }
            timeval wait{};
            getnatpmprequesttimeout(&session_, &wait);
            const auto leftMicros = std::chrono::duration_cast<std::chrono::microseconds>(left);
            const long long asked = static_cast<long long>(wait.tv_sec) * 1000000 + wait.tv_usec;
            if (asked > leftMicros.count() || asked < 0) {
                wait.tv_sec = static_cast<time_t>(leftMicros.count() / 1000000);
                wait.tv_usec = static_cast<suseconds_t>(leftMicros.count() % 1000000);
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(session_.s, &readable);
            select(session_.s + 1, &readable, nullptr, nullptr, &wait);
            const int result = readnatpmpresponseorretry(&session_, &response);
            if (result != NATPMP_TRYAGAIN) {
                return result;
            }
        }
    }

  private:
    natpmp_t session_{};
    bool open_ = false;
};

class NatPmpProtocol final : public IMappingProtocol {
  public:
    explicit NatPmpProtocol(std::chrono::milliseconds limit) : limit_(limit) {}

    [[nodiscard]] MappingMethod method() const override { return MappingMethod::NatPmp; }

    [[nodiscard]] MappingAttempt Map(int port, std::chrono::seconds lease) override {
        NatPmpSession session;
        if (!session.open()) {
            return Attempt(Outcome::NoRouter, "no default gateway for NAT-PMP");
        }
        const Clock::time_point deadline = Clock::now() + limit_;
        natpmpresp_t response{};
        if (sendpublicaddressrequest(session.get()) < 0 || session.Answer(response, deadline) < 0) {
            return Attempt(Outcome::NoRouter, "no NAT-PMP answer from the gateway");
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof text);
        const std::string address = text;
        const auto asked = static_cast<uint32_t>(lease.count());
        if (sendnewportmappingrequest(session.get(), NATPMP_PROTOCOL_TCP,
                                      static_cast<uint16_t>(port), static_cast<uint16_t>(port),
                                      asked) < 0) {
            return Attempt(Outcome::Failed, "the NAT-PMP request could not be sent", address);
        }
        const int result = session.Answer(response, deadline);
        if (result < 0) {
            return Attempt(
                result == NATPMP_TRYAGAIN ? Outcome::NoRouter : Outcome::Failed,
                "the router refused the NAT-PMP mapping (" + std::to_string(result) + ")", address);
        }
        if (response.pnu.newportmapping.mappedpublicport != port) {
            // The router gave another port: ours is held by another machine.
            // The port it gave is of no use, as peers always dial 2000.
            static_cast<void>(sendnewportmappingrequest(session.get(), NATPMP_PROTOCOL_TCP,
                                                        static_cast<uint16_t>(port), 0, 0));
            static_cast<void>(session.Answer(response, Clock::now() + limit_));
            return Attempt(Outcome::Conflict, ConflictReason(port, ""), address);
        }
        mapped_ = true;
        MappingAttempt attempt = Attempt(Outcome::Mapped, {}, address);
        attempt.lease = std::chrono::seconds(response.pnu.newportmapping.lifetime);
        return attempt;
    }

    void Unmap(int port) override {
        if (!mapped_) {
            return;
        }
        mapped_ = false;
        NatPmpSession session;
        natpmpresp_t response{};
        if (session.open() && sendnewportmappingrequest(session.get(), NATPMP_PROTOCOL_TCP,
                                                        static_cast<uint16_t>(port), 0, 0) >= 0) {
            static_cast<void>(session.Answer(response, Clock::now() + limit_));
        }
    }

  private:
    const std::chrono::milliseconds limit_;
    bool mapped_ = false;
};

class UpnpProtocol final : public IMappingProtocol {
  public:
    explicit UpnpProtocol(std::chrono::milliseconds limit) : limit_(limit) {}
    ~UpnpProtocol() override { Forget(); }
    UpnpProtocol(const UpnpProtocol&) = delete;
    UpnpProtocol& operator=(const UpnpProtocol&) = delete;

    [[nodiscard]] MappingMethod method() const override { return MappingMethod::Upnp; }

    [[nodiscard]] MappingAttempt Map(int port, std::chrono::seconds lease) override {
        if (!Discover()) {
            return Attempt(Outcome::NoRouter, "no UPnP router answered");
        }
        char external[64] = {};
        if (UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, external) != 0) {
            external[0] = '\0';
        }
        const std::string address = external;
        const std::string portText = std::to_string(port);
        const std::string holder = Holder(portText);
        if (ClassifyExistingMapping(holder, lan_) == ExistingMapping::OtherMachine) {
            return Attempt(Outcome::Conflict, ConflictReason(port, holder), address);
        }
        std::string leaseText = std::to_string(lease.count());
        int result = Add(portText, leaseText);
        if (result == 725) {  // OnlyPermanentLeasesSupported: removed on exit all the same
            leaseText = "0";
            result = Add(portText, leaseText);
        }
        if (result == 718) {  // ConflictInMappingEntry
            return Attempt(Outcome::Conflict, ConflictReason(port, Holder(portText)), address);
        }
        if (result != UPNPCOMMAND_SUCCESS) {
            const char* text = strupnperror(result);
            Forget();  // found afresh next time, in case the router changed
            return Attempt(Outcome::Failed,
                           std::string("the router refused the UPnP mapping (") +
                               (text != nullptr ? text : std::to_string(result).c_str()) + ")",
                           address);
        }
        mapped_ = true;
        MappingAttempt attempt = Attempt(Outcome::Mapped, {}, address);
        attempt.lease = leaseText == "0" ? std::chrono::seconds(0) : lease;
        return attempt;
    }

    void Unmap(int port) override {
        if (!mapped_ || !haveRouter_) {
            return;
        }
        mapped_ = false;
        const std::string portText = std::to_string(port);
        // Only an entry that is still this machine's is removed.
        if (ClassifyExistingMapping(Holder(portText), lan_) == ExistingMapping::ThisMachine) {
            UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, portText.c_str(),
                                   "TCP", nullptr);
        }
    }

  private:
    bool Discover() {
        if (haveRouter_) {
            return true;
        }
        int error = 0;
        UPNPDev* devices = upnpDiscover(static_cast<int>(limit_.count()), nullptr, nullptr,
                                        UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (devices == nullptr) {
            return false;
        }
        const int found = UPNP_GetValidIGD(devices, &urls_, &data_, lan_, sizeof lan_);
        freeUPNPDevlist(devices);
        if (found == 0) {
            return false;
        }
        if (found != 1 && found != 2) {  // a device, but no internet gateway
            FreeUPNPUrls(&urls_);
            urls_ = {};
            return false;
        }
        haveRouter_ = true;
        return true;
    }

    void Forget() {
        if (haveRouter_) {
            FreeUPNPUrls(&urls_);
            urls_ = {};
            haveRouter_ = false;
        }
    }

    // The internal address the router maps the port to; "" for none.
    std::string Holder(const std::string& portText) {
        char client[64] = {};
        char clientPort[16] = {};
        char description[96] = {};
        char enabled[8] = {};
        char duration[16] = {};
        if (UPNP_GetSpecificPortMappingEntry(urls_.controlURL, data_.first.servicetype,
                                             portText.c_str(), "TCP", nullptr, client, clientPort,
                                             description, enabled, duration) != 0) {
            return {};
        }
        return client;
    }

    int Add(const std::string& portText, const std::string& leaseText) {
        return UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, portText.c_str(),
                                   portText.c_str(), lan_, "Brindlenet", "TCP", nullptr,
                                   leaseText.c_str());
    }

    const std::chrono::milliseconds limit_;
    UPNPUrls urls_{};
    IGDdatas data_{};
    char lan_[64] = {};
    bool haveRouter_ = false;
    bool mapped_ = false;
};

constexpr std::chrono::milliseconds kDiscoveryLimit{2000};

}  // namespace

std::unique_ptr<IMappingProtocol> MakeNatPmpProtocol(std::chrono::milliseconds limit) {
    return std::make_unique<NatPmpProtocol>(limit);
}

std::unique_ptr<IMappingProtocol> MakeUpnpProtocol(std::chrono::milliseconds limit) {
    return std::make_unique<UpnpProtocol>(limit);
}

std::vector<std::unique_ptr<IMappingProtocol>> DefaultMappingProtocols() {
    std::vector<std::unique_ptr<IMappingProtocol>> protocols;
    protocols.push_back(MakeNatPmpProtocol(kDiscoveryLimit));
    protocols.push_back(MakeUpnpProtocol(kDiscoveryLimit));
    return protocols;
}

}  // namespace brindle
