// A small internet in network namespaces: an "internet" namespace holding a
// STUN server (coturn) and room for a directory, and two homes, each a LAN
// behind a router namespace that masquerades with nftables. The first router
// runs miniupnpd (NAT-PMP and UPnP-IGD); the second does not. Daemons are
// stopped, with a deadline, and the namespaces deleted when it goes.
#pragma once

#include <memory>
#include <string>

#include "support/net_namespaces.h"

namespace brindle::test {

class HomeRouters {
  public:
    // Roles in nets(): the internet, the routers and the hosts behind them.
    static constexpr const char* kInternet = "inet";
    static constexpr const char* kRouter1 = "r1";  // with miniupnpd
    static constexpr const char* kHome1 = "h1";
    static constexpr const char* kNeighbour1 = "n1";  // a second host on the first LAN
    static constexpr const char* kRouter2 = "r2";     // NAT only
    static constexpr const char* kHome2 = "h2";

    static constexpr const char* kInternetAddress = "10.200.0.1";  // directory and STUN
    static constexpr const char* kInternetAddress6 = "fd00:200::1";
    static constexpr const char* kRouter1Wan = "10.200.0.2";
    static constexpr const char* kRouter2Wan = "10.200.0.3";
    static constexpr const char* kHome1Address = "192.168.10.2";
    static constexpr const char* kNeighbour1Address = "192.168.10.3";
    static constexpr const char* kHome2Address = "192.168.20.2";
    static constexpr const char* kHome1Address6 = "fd00:10::2";
    static constexpr const char* kHome2Address6 = "fd00:20::2";

    // `natPmp` false leaves the first router with UPnP-IGD alone.
    explicit HomeRouters(bool natPmp = true);
    ~HomeRouters();  // stops miniupnpd and the STUN server, then deletes the namespaces
    HomeRouters(const HomeRouters&) = delete;
    HomeRouters& operator=(const HomeRouters&) = delete;

    // Builds everything and starts the daemons. False (with `why`) when it
    // cannot run here: no root, no `ip netns`, or a program missing. `error`
    // is set instead when it should have worked but did not.
    bool Build(std::string& why, std::string& error);

    NetNamespaces& nets() { return nets_; }
    const std::filesystem::path& folder() const { return nets_.scratch().path(); }

    // `upnpc -l` run on `role`'s host (a LAN host of the first router). The
    // routers' WAN addresses are private, so upnpc is told to use the gateway
    // regardless (-i), as a client library must be.
    NetNamespaces::Outcome Upnpc(const std::string& role, std::vector<std::string> arguments);
    // True when the first router forwards TCP `port` to some LAN host
    // (as `upnpc -l` lists it).
    bool Mapped(int port);
    std::string MiniupnpdLog() const;

  private:
    bool StartStun(std::string& error);
    bool StartMiniupnpd(std::string& error);

    bool natPmp_;
    NetNamespaces nets_;
    std::unique_ptr<LoggedProcess> stun_;
    std::unique_ptr<LoggedProcess> miniupnpd_;
};

}  // namespace brindle::test
