#include "support/home_routers.h"

#include <signal.h>

#include <fstream>

namespace brindle::test {

using namespace std::chrono_literals;

namespace {

constexpr int kStunPort = 3478;
// The STUN server's second address: with two, coturn answers the
// change-address requests miniupnpd sends to tell a full-cone NAT (or none)
// from a restrictive one.
constexpr const char* kStunSecondAddress = "10.200.0.4";

// A home router's tables, laid out as miniupnpd's nft_init.sh makes them
// (table inet filter with the miniupnpd, prerouting_miniupnpd and
// postrouting_miniupnpd chains it fills), plus what a router has besides:
// nothing comes in from the WAN unless mapped or answering, the LAN goes out
// masqueraded. `ipv6Port`, when set, is a TCP port open to the LAN over IPv6
// (which has no NAT), as a user opens one in a router's firewall.
std::string RouterRules(int ipv6Port) {
    std::string rules =
        "table inet filter {\n"
        "    chain forward {\n"
        "        type filter hook forward priority 0;\n"
        "        policy drop;\n"
        "        jump miniupnpd\n"
        "        ct state established,related accept\n"
        "        iifname \"lan\" oifname \"wan\" accept\n";
    if (ipv6Port > 0) {
        rules += "        meta nfproto ipv6 oifname \"lan\" tcp dport " + std::to_string(ipv6Port) +
                 " accept\n";
    }
    rules +=
        "    }\n"
        "    chain miniupnpd {\n"
        "    }\n"
        "    chain prerouting {\n"
        "        type nat hook prerouting priority -100;\n"
        "        policy accept;\n"
        "        jump prerouting_miniupnpd\n"
        "    }\n"
        "    chain postrouting {\n"
        "        type nat hook postrouting priority 100;\n"
        "        policy accept;\n"
        "        jump postrouting_miniupnpd\n"
        "        meta nfproto ipv4 oifname \"wan\" masquerade\n"
        "    }\n"
        "    chain prerouting_miniupnpd {\n"
        "    }\n"
        "    chain postrouting_miniupnpd {\n"
        "    }\n"
        "}\n";
    return rules;
}

bool Installed(const char* program) {
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        if (std::filesystem::exists(std::string(folder) + program)) {
            return true;
        }
    }
    return false;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

HomeRouters::HomeRouters(bool natPmp) : natPmp_(natPmp) {}

HomeRouters::~HomeRouters() {
    if (miniupnpd_) {
        miniupnpd_->Stop();
    }
    if (stun_) {
        stun_->Stop();
    }
}

bool HomeRouters::Build(std::string& why, std::string& error) {
    if (!NetNamespaces::Available(why)) {
        return false;
    }
    for (const char* program : {"nft", "miniupnpd", "turnserver", "upnpc"}) {
        if (!Installed(program)) {
            why = std::string(program) +
                  " is not installed (packages nftables, miniupnpd-nftables, coturn, miniupnpc)";
            return false;
        }
    }
    NetNamespaces& n = nets_;
    const std::string wan = "/24";
    bool built = n.Add(kInternet) && n.Bridge(kInternet, "br0") &&
                 n.Address(kInternet, "br0", std::string(kInternetAddress) + wan) &&
                 n.Address(kInternet, "br0", std::string(kStunSecondAddress) + wan) &&
                 n.Address(kInternet, "br0", std::string(kInternetAddress6) + "/64") &&
                 n.Forward(kInternet) && n.Route(kInternet, "fd00:10::/64", "fd00:200::2") &&
                 n.Route(kInternet, "fd00:20::/64", "fd00:200::3");
    struct Site {
        const char* router;
        const char* wanAddress;
        const char* wanAddress6;
        const char* lan;  // the LAN's first three octets and IPv6 prefix
        const char* lan6;
        int ipv6Port;
    };
    const Site sites[] = {{kRouter1, kRouter1Wan, "fd00:200::2", "192.168.10", "fd00:10::", 2000},
                          {kRouter2, kRouter2Wan, "fd00:200::3", "192.168.20", "fd00:20::", 0}};
    for (const Site& site : sites) {
        std::string port = std::string("p") + site.router;
        built = built && n.Add(site.router) && n.Link(site.router, "wan", kInternet, port) &&
                n.Enslave(kInternet, port, "br0") &&
                n.Address(site.router, "wan", std::string(site.wanAddress) + wan) &&
                n.Address(site.router, "wan", std::string(site.wanAddress6) + "/64") &&
                n.Route(site.router, "default", kInternetAddress6) && n.Forward(site.router) &&
                n.Bridge(site.router, "lan") &&
                n.Address(site.router, "lan", std::string(site.lan) + ".1/24") &&
                n.Address(site.router, "lan", std::string(site.lan6) + "1/64") &&
                n.Nft(site.router, RouterRules(site.ipv6Port));
    }
    struct Host {
        const char* role;
        const char* router;
        const char* address;
        const char* lan;
        const char* lan6;
    };
    const Host hosts[] = {{kHome1, kRouter1, kHome1Address, "192.168.10", "fd00:10::"},
                          {kNeighbour1, kRouter1, kNeighbour1Address, "192.168.10", ""},
                          {kHome2, kRouter2, kHome2Address, "192.168.20", "fd00:20::"}};
    for (const Host& host : hosts) {
        std::string port = std::string("p") + host.role;
        built = built && n.Add(host.role) && n.Link(host.role, "eth0", host.router, port) &&
                n.Enslave(host.router, port, "lan") &&
                n.Address(host.role, "eth0", std::string(host.address) + "/24") &&
                n.Route(host.role, "default", std::string(host.lan) + ".1");
        if (*host.lan6 != '\0') {
            std::string self = std::string(host.address).substr(std::string(host.lan).size() + 1);
            built = built && n.Address(host.role, "eth0", std::string(host.lan6) + self + "/64") &&
                    n.Route(host.role, "default", std::string(host.lan6) + "1");
        }
    }
    if (!built) {
        error = "cannot build the namespaces: " + n.error();
        return false;
    }
    return StartStun(error) && StartMiniupnpd(error);
}

bool HomeRouters::StartStun(std::string& error) {
    const std::filesystem::path dir = folder() / "stun";
    std::filesystem::create_directories(dir);
    // -n: no configuration file; the database, pid file and log stay in the
    // test's folder.
    stun_ = std::make_unique<LoggedProcess>(nets_.In(kInternet, {"turnserver",
                                                                 "-n",
                                                                 "--stun-only",
                                                                 "-L",
                                                                 kInternetAddress,
                                                                 "-L",
                                                                 kStunSecondAddress,
                                                                 "--listening-port",
                                                                 std::to_string(kStunPort),
                                                                 "--no-cli",
                                                                 "--no-tls",
                                                                 "--no-dtls",
                                                                 "--db",
                                                                 (dir / "turndb").string(),
                                                                 "--pidfile",
                                                                 (dir / "turnserver.pid").string(),
                                                                 "--log-file",
                                                                 (dir / "turn.log").string(),
                                                                 "--simple-log",
                                                                 "--no-stdout-log"}),
                                            dir, dir / "stdout", dir / "stderr");
    // Bound when both addresses listen on UDP.
    bool up = WaitFor(
        [&] {
            if (!stun_->Running()) {
                return false;
            }
            auto listening = nets_.Run(kInternet, {"ss", "-Hlun", "sport", "=", ":3478"});
            return Contains(listening.out, std::string(kInternetAddress) + ":3478") &&
                   Contains(listening.out, std::string(kStunSecondAddress) + ":3478");
        },
        10s);
    if (!up) {
        error = "the STUN server did not start: " + stun_->Err() + ReadWholeFile(dir / "turn.log");
    }
    return up;
}

bool HomeRouters::StartMiniupnpd(std::string& error) {
    const std::filesystem::path dir = folder() / "miniupnpd";
    std::filesystem::create_directories(dir);
    // The WAN address is private, so miniupnpd asks the STUN server which
    // address it really has and whether the way in is open before it maps.
    std::ofstream(dir / "miniupnpd.conf") << "ext_ifname=wan\n"
                                             "listening_ip=lan\n"
                                             "port=0\n"
                                             "enable_natpmp="
                                          << (natPmp_ ? "yes" : "no")
                                          << "\n"
                                             "enable_upnp=yes\n"
                                             "ext_perform_stun=yes\n"
                                             "ext_stun_host="
                                          << kInternetAddress << "\next_stun_port=" << kStunPort
                                          << "\n"
                                             "lease_file="
                                          << (dir / "leases").string()
                                          << "\n"
                                             "secure_mode=yes\n"
                                             "system_uptime=yes\n"
                                             "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
                                             "allow 1024-65535 192.168.10.0/24 1024-65535\n"
                                             "deny 0-65535 0.0.0.0/0 0-65535\n";
    miniupnpd_ = std::make_unique<LoggedProcess>(
        nets_.In(kRouter1, {"miniupnpd", "-d", "-f", (dir / "miniupnpd.conf").string(), "-P",
                            (dir / "miniupnpd.pid").string()}),
        dir, dir / "stdout", dir / "stderr");
    // The last thing it says when starting up.
    const std::string ready =
        natPmp_ ? "Listening for NAT-PMP/PCP traffic" : "HTTP listening on port";
    bool up = WaitFor([&] { return !miniupnpd_->Running() || Contains(miniupnpd_->Err(), ready); },
                      15s) &&
              miniupnpd_->Running();
    if (up && !Contains(MiniupnpdLog(), "Port forwarding is now enabled")) {
        error = "miniupnpd does not forward ports: " + MiniupnpdLog();
        return false;
    }
    if (!up) {
        error = "miniupnpd did not start: " + MiniupnpdLog();
    }
    return up;
}

std::string HomeRouters::MiniupnpdLog() const {
    return miniupnpd_ ? miniupnpd_->Err() : std::string();
}

NetNamespaces::Outcome HomeRouters::Upnpc(const std::string& role,
                                          std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"upnpc", "-i"});
    // The gateway's description where miniupnpd said where it serves it:
    // that spares the two seconds of discovery.
    const std::string log = MiniupnpdLog();
    const std::string mark = "HTTP listening on port ";
    if (auto at = log.find(mark); at != std::string::npos) {
        std::string port = log.substr(at + mark.size(), log.find('\n', at) - at - mark.size());
        arguments.insert(arguments.begin() + 2,
                         {"-u", "http://192.168.10.1:" + port + "/rootDesc.xml"});
    }
    return nets_.Run(role, arguments);
}

bool HomeRouters::Mapped(int port) {
    auto list = Upnpc(kHome1, {"-l"});
    return Contains(list.out, "TCP  " + std::to_string(port) + "->");
}

}  // namespace brindle::test
