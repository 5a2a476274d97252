// Reachability across NAT with real parts: the directory on the namespaced
// internet, headless peers in homes behind the routers, miniupnpd mapping
// their port, and the directory's probe connecting back.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/directory_node.h"
#include "support/home_routers.h"
#include "support/nginx_proxy.h"
#include "support/test_certificates.h"
#include "support/test_support.h"
#include "support/tls_scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::HomeRouters;
using test::LoggedProcess;
using test::ReadWholeFile;
using test::TempDir;
using test::WaitFor;

constexpr const char* kDirectoryProgram = BRINDLENET_DIRECTORY_PROGRAM;
constexpr const char* kPeerProgram = BRINDLENET_PEER_PROGRAM;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One peer's working directory: config.txt naming `serverUrl`, a shared
// directory, and preferences of its own.
struct PeerHome {
    PeerHome(const std::string& user, const std::string& serverUrl) : user(user) {
        std::filesystem::create_directories(shared());
        std::ofstream(dir.path() / "config.txt")
            << serverUrl << "\n"
            << user << "\n"
            << shared().string() << "\nDSL,Cable\nsecret-" << user << "\n";
    }
    std::filesystem::path shared() const { return dir.path() / "shared"; }
    std::vector<std::string> Program(std::vector<std::string> arguments) const {
        // Port mapping and the probe are what these tests are about: on.
        arguments.insert(arguments.begin(), {"env", "-u", "BRINDLENET_NO_REACHABILITY",
                                             "XDG_CONFIG_HOME=" + dir.str(), kPeerProgram});
        return arguments;
    }
    void WritePreferences(const std::string& text) const {
        dir.WriteFile("brindlenet/preferences.conf", text);
    }

    std::string user;
    TempDir dir;
};

class Reachability : public ::testing::Test {
  protected:
    explicit Reachability(bool natPmp = true) : routers(natPmp) {}
    void SetUp() override {
        std::string why;
        std::string error;
        if (!routers.Build(why, error)) {
            if (error.empty()) {
                GTEST_SKIP() << "namespaced reachability tests skipped: " << why;
            }
            FAIL() << error;
        }
    }
    void TearDown() override {
        for (auto& process : serving) {
            process->Stop();
        }
        if (directory) {
            directory->Stop();
        }
    }

    // The directory on the internet, on IPv4 and IPv6.
    void StartDirectory(std::vector<std::string> options = {}) {
        std::vector<std::string> argv = {kDirectoryProgram,
                                         "--port",
                                         "8080",
                                         "--bind",
                                         "::",
                                         "--db",
                                         (serverHome.path() / "directory.db").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        directory = std::make_unique<LoggedProcess>(
            routers.nets().In(HomeRouters::kInternet, argv), serverHome.path(),
            serverHome.path() / "server.out", serverHome.path() / "server.err");
        ASSERT_TRUE(WaitFor([&] { return Contains(directory->Err(), "listening on"); }, 20s))
            << directory->Err();
    }
    static std::string Url(const std::string& host) {
        return "http://" + host + ":8080/examples/servlet/brindlenet";
    }

    // `serve` in `role`'s namespace, once registered.
    LoggedProcess& Serve(const PeerHome& home, const std::string& role) {
        serving.push_back(std::make_unique<LoggedProcess>(
            routers.nets().In(role, home.Program({"serve"})), home.dir.path(),
            home.dir.path() / "serve.out", home.dir.path() / "serve.err"));
        LoggedProcess& process = *serving.back();
        EXPECT_TRUE(WaitFor([&] { return Contains(process.Err(), "Registred with server!"); }, 20s))
            << process.Err();
        return process;
    }
    // Waits until serve's latest reachability line says more than "unknown"
    // (it starts so, before the router and the probe have answered) and
    // gives it; the latest line whatever it says once the deadline passes.
    static std::string ReachableLine(const LoggedProcess& process,
                                     std::chrono::milliseconds deadline = 15s) {
        std::string line;
        WaitFor(
            [&] {
                std::string text = process.Out() + process.Err();
                auto at = text.rfind("reachable: ");
                if (at == std::string::npos) {
                    return false;
                }
                line = text.substr(at, text.find('\n', at) - at);
                return line != "reachable: unknown";
            },
            deadline);
        return line;
    }

    test::NetNamespaces::Outcome Command(const PeerHome& home, const std::string& role,
                                         std::vector<std::string> arguments) {
        return routers.nets().Run(role, home.Program(std::move(arguments)), 60s, home.dir.path());
    }

    // A form posted to the directory with curl from `role`; the reply's body.
    std::string Post(const std::string& role, const std::string& body,
                     std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"curl", "-s", "-m", "10", "--data", body};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(Url(HomeRouters::kInternetAddress));
        return routers.nets().Run(role, argv).out;
    }
    std::string Register(const std::string& role, const std::string& user) {
        return Post(role, "event=onRegisterUser&userName=" + user + "&connection=DSL&password=pw-" +
                              user + "&count=0");
    }
    std::string Probe(const std::string& role, const std::string& user, const std::string& password,
                      std::vector<std::string> extra = {}) {
        return Post(role, "event=onCheckReachable&userName=" + user + "&password=" + password,
                    std::move(extra));
    }

    // Counts the connections opened to TCP port 2000 on `router`'s WAN side.
    void CountConnectsOn(const std::string& router) {
        ASSERT_TRUE(routers.nets().Nft(
            router,
            "table inet count {\n"
            "    chain prerouting {\n"
            "        type filter hook prerouting priority -300;\n"
            "        iifname \"wan\" tcp dport 2000 tcp flags & (syn | ack) == syn counter\n"
            "    }\n"
            "}\n"))
            << routers.nets().error();
    }
    int ConnectsOn(const std::string& router) {
        auto list = routers.nets().Run(router, {"nft", "list", "table", "inet", "count"});
        auto at = list.out.find("counter packets ");
        return at == std::string::npos ? -1 : std::stoi(list.out.substr(at + 16));
    }

    HomeRouters routers;
    TempDir serverHome;
    std::unique_ptr<LoggedProcess> directory;
    std::vector<std::unique_ptr<LoggedProcess>> serving;
};

class ReachabilityByMethod : public Reachability, public ::testing::WithParamInterface<bool> {
  protected:
    ReachabilityByMethod() : Reachability(GetParam()) {}
};

// The peer behind the UPnP router maps its port, says so, is found under its
// router's address, serves the other home byte-exact, and unmaps on exit:
// through NAT-PMP, and through UPnP-IGD where the router offers only that.
TEST_P(ReachabilityByMethod, APeerBehindTheUpnpRouterServesTheOtherHome) {
    StartDirectory();
    PeerHome sharer("sharer", Url(HomeRouters::kInternetAddress));
    PeerHome fetcher("fetcher", Url(HomeRouters::kInternetAddress));
    std::string content = test::PatternBytes(3u << 20, 7);
    std::ofstream(sharer.shared() / "film.bin", std::ios::binary) << content;

    LoggedProcess& serve = Serve(sharer, HomeRouters::kHome1);
    std::string line = ReachableLine(serve);
    EXPECT_EQ(line, "reachable: yes (" + std::string(GetParam() ? "NAT-PMP" : "UPnP") + ", " +
                        HomeRouters::kRouter1Wan + ":2000)")
        << serve.Out() << serve.Err() << routers.MiniupnpdLog();
    EXPECT_TRUE(routers.Mapped(2000)) << routers.MiniupnpdLog();

    auto search = Command(fetcher, HomeRouters::kHome2, {"search", "film"});
    EXPECT_TRUE(Contains(search.out, HomeRouters::kRouter1Wan)) << search.out << search.err;
    auto get = Command(fetcher, HomeRouters::kHome2, {"get", "film", "--pick", "1"});
    ASSERT_EQ(get.code, 0) << get.out << get.err;
    EXPECT_TRUE(ReadWholeFile(fetcher.shared() / "film.bin") == content);

    serve.Kill(SIGTERM);
    EXPECT_EQ(serve.Wait(20s), 0) << serve.Err();
    auto list = routers.Upnpc(HomeRouters::kHome1, {"-l"});
    EXPECT_FALSE(Contains(list.out, "TCP  2000->")) << list.out;
}

INSTANTIATE_TEST_SUITE_P(Methods, ReachabilityByMethod, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NatPmp" : "UpnpOnly"; });

// Behind a router without UPnP or NAT-PMP nobody can connect in, and serve
// says so; with port_mapping off, the mapping router is not asked either.
TEST_F(Reachability, ServeSaysNotReachableWithoutAMapping) {
    StartDirectory();
    PeerHome behindNat("nat", Url(HomeRouters::kInternetAddress));
    PeerHome optedOut("optout", Url(HomeRouters::kInternetAddress));
    optedOut.WritePreferences("port_mapping = false\n");

    LoggedProcess& noUpnp = Serve(behindNat, HomeRouters::kHome2);
    LoggedProcess& off = Serve(optedOut, HomeRouters::kHome1);
    EXPECT_TRUE(Contains(ReachableLine(noUpnp), "reachable: no (")) << noUpnp.Err();
    EXPECT_TRUE(Contains(ReachableLine(off), "reachable: no (")) << off.Err();
    EXPECT_FALSE(routers.Mapped(2000));
}

// Another machine on the LAN holds port 2000: the peer reports it and leaves
// that mapping alone.
TEST_F(Reachability, APortHeldByAnotherMachineIsNotTakenOver) {
    StartDirectory();
    auto held = routers.Upnpc(
        HomeRouters::kNeighbour1,
        {"-e", "neighbour", "-a", HomeRouters::kNeighbour1Address, "2000", "2000", "TCP", "3600"});
    ASSERT_EQ(held.code, 0) << held.out << held.err;
    PeerHome late("late", Url(HomeRouters::kInternetAddress));
    LoggedProcess& serve = Serve(late, HomeRouters::kHome1);
    EXPECT_TRUE(Contains(ReachableLine(serve), "reachable: no (")) << serve.Err();
    auto list = routers.Upnpc(HomeRouters::kHome1, {"-l"});
    EXPECT_TRUE(Contains(list.out, "TCP  2000->192.168.10.3:2000")) << list.out;
    EXPECT_FALSE(Contains(list.out, "->192.168.10.2:")) << list.out;
}

// Two homes on IPv6 unique local addresses, the directory on IPv6: the
// sharer registers under its own address and serves the other home.
TEST_F(Reachability, AnIpv6PairOnUniqueLocalAddresses) {
    StartDirectory();
    const std::string url = Url(std::string("[") + HomeRouters::kInternetAddress6 + "]");
    PeerHome sharer("six", url);
    PeerHome fetcher("seven", url);
    sharer.WritePreferences("port_mapping = false\n");
    std::string content = test::PatternBytes(1u << 20, 3);
    std::ofstream(sharer.shared() / "notes.bin", std::ios::binary) << content;

    LoggedProcess& serve = Serve(sharer, HomeRouters::kHome1);
    auto search = Command(fetcher, HomeRouters::kHome2, {"search", "notes"});
    EXPECT_TRUE(Contains(search.out, HomeRouters::kHome1Address6)) << search.out << search.err;
    auto get = Command(fetcher, HomeRouters::kHome2, {"get", "notes", "--pick", "1"});
    ASSERT_EQ(get.code, 0) << get.out << get.err;
    EXPECT_TRUE(ReadWholeFile(fetcher.shared() / "notes.bin") == content);
    // Its router lets port 2000 in over IPv6, so the probe gets through.
    EXPECT_TRUE(Contains(ReachableLine(serve), "reachable: yes")) << serve.Err();
}

// The probe when the directory is reached over HTTPS, or through nginx as the
// trusted proxy: it connects back to the user's address either way.
enum class Front { Https, TrustedProxy };

class ReachabilityBehind : public Reachability, public ::testing::WithParamInterface<Front> {};

TEST_P(ReachabilityBehind, TheProbeReachesThePeerBehindTheUpnpRouter) {
    std::string url;
    std::unique_ptr<test::DirectoryNode> node;
    std::unique_ptr<test::NginxProxy> proxy;
    if (GetParam() == Front::Https) {
        std::string error;
        const test::TestCertificates* certificates = test::TrustedTestCertificates(error);
        ASSERT_NE(certificates, nullptr) << error;
        StartDirectory({"--tls-cert", certificates->server.certificate.string(), "--tls-key",
                        certificates->server.key.string()});
        url = "https://" + std::string(HomeRouters::kInternetAddress) +
              ":8080/examples/servlet/brindlenet";
    } else {
        if (!test::NginxProxy::Installed()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        ASSERT_TRUE(routers.nets().RunInside(HomeRouters::kInternet, [&] {
            node = std::make_unique<test::DirectoryNode>(
                kDirectoryProgram,
                std::vector<std::string>{"--trusted-proxy", "127.0.0.1/32", "--db",
                                         (serverHome.path() / "directory.db").string()},
                serverHome.path() / "node.log");
            if (node->started()) {
                proxy = std::make_unique<test::NginxProxy>(serverHome.path() / "nginx",
                                                           std::vector<int>{node->port()},
                                                           HomeRouters::kInternetAddress);
            }
        }));
        ASSERT_TRUE(node->started()) << node->logText();
        ASSERT_TRUE(proxy && proxy->started()) << proxy->errorLog();
        url = "http://" + std::string(HomeRouters::kInternetAddress) + ":" +
              std::to_string(proxy->port()) + "/examples/servlet/brindlenet";
    }
    PeerHome sharer("fronted", url);
    LoggedProcess& serve = Serve(sharer, HomeRouters::kHome1);
    std::string line = ReachableLine(serve);
    EXPECT_TRUE(Contains(line, "reachable: yes (")) << serve.Out() << serve.Err();
    EXPECT_TRUE(Contains(line, std::string(HomeRouters::kRouter1Wan) + ":2000)")) << line;
    serve.Stop(20s);
    if (proxy) {
        proxy.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Fronts, ReachabilityBehind,
                         ::testing::Values(Front::Https, Front::TrustedProxy),
                         [](const auto& info) {
                             return info.param == Front::Https ? "Https" : "TrustedProxy";
                         });

// Probes that must not make the directory connect anywhere: a wrong
// password, a user not logged in, a forged X-Forwarded-For, and a flood.
TEST_F(Reachability, HostileProbes) {
    StartDirectory();
    CountConnectsOn(HomeRouters::kRouter1);
    CountConnectsOn(HomeRouters::kRouter2);
    ASSERT_EQ(Register(HomeRouters::kHome1, "eve"), "OK\n");
    ASSERT_EQ(Register(HomeRouters::kHome2, "mallory"), "OK\n");
    ASSERT_EQ(Register(HomeRouters::kHome1, "ghost"), "OK\n");
    ASSERT_EQ(Post(HomeRouters::kHome1, "event=onUnregisterUser&userName=ghost&password=pw-ghost"),
              "OK\n");

    EXPECT_EQ(Probe(HomeRouters::kHome1, "eve", "wrong"), "BAD-PASSWORD\n");
    EXPECT_EQ(Probe(HomeRouters::kHome1, "ghost", "pw-ghost"), "NOT-LOGGED-IN\n");
    EXPECT_EQ(ConnectsOn(HomeRouters::kRouter1), 0);

    // From the second home, naming the first router's address: the directory
    // trusts no proxy, so it connects back to the second router, where
    // nothing listens.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Probe(HomeRouters::kHome2, "mallory", "pw-mallory",
                    {"-H", std::string("X-Forwarded-For: ") + HomeRouters::kRouter1Wan}),
              "UNREACHABLE\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    EXPECT_EQ(ConnectsOn(HomeRouters::kRouter1), 0);
    EXPECT_GE(ConnectsOn(HomeRouters::kRouter2), 1);

    // A flood from one address: one connect-back, every probe answered.
    const int before = ConnectsOn(HomeRouters::kRouter2);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Probe(HomeRouters::kHome2, "mallory", "pw-mallory"), "UNREACHABLE\n") << i;
    }
    EXPECT_EQ(ConnectsOn(HomeRouters::kRouter2), before);
}

// A sharer the probe found unreachable waits at the directory for pushes.
// Once a push for it is answered "OK" it is waiting, and later pushes are
// kept for it between two of its requests.
class PushAcrossNat : public Reachability {
  protected:
    PushAcrossNat() : Reachability(true) {}

    // Serves `sharer` in the second home (NAT without UPnP), in auto mode,
    // until it is found unreachable and waits for pushes.
    LoggedProcess& ServeUnreachable(const PeerHome& sharer) {
        LoggedProcess& serve = Serve(sharer, HomeRouters::kHome2);
        EXPECT_TRUE(Contains(ReachableLine(serve), "reachable: no (")) << serve.Err();
        // A watcher on the internet asks for pushes nobody answers (nothing
        // listens at its address) until one is taken.
        EXPECT_EQ(Register(HomeRouters::kInternet, "watcher"), "OK\n");
        EXPECT_TRUE(WaitFor(
            [&] {
                return Post(HomeRouters::kInternet,
                            "event=onRequestPush&userName=watcher&password=pw-watcher&target=" +
                                sharer.user + "&file=none&token=" + std::string(32, 'a')) == "OK\n";
            },
            10s))
            << serve.Err();
        return serve;
    }
    // The fetcher's registered address is its router's; `get` run later
    // listens for the push on the same port, or takes it through the
    // fetcher's serve when that keeps running.
    void RegisterFetcher(const PeerHome& fetcher, bool keepServing = false) {
        fetcher.WritePreferences("port_mapping = false\n");
        LoggedProcess& serve = Serve(fetcher, HomeRouters::kHome1);
        if (!keepServing) {
            serve.Kill(SIGTERM);
            ASSERT_EQ(serve.Wait(20s), 0) << serve.Err();
        }
    }
};

class PushToFetcher : public PushAcrossNat, public ::testing::WithParamInterface<bool> {};

// The sharer behind the router without UPnP cannot be connected to; the
// other home, whose router forwards port 2000, gets the file byte-exact
// through a push, with or without its own serve holding port 2000.
TEST_P(PushToFetcher, ASharerBehindNatIsServedThroughAPush) {
    StartDirectory();
    PeerHome sharer("walled", Url(HomeRouters::kInternetAddress));
    PeerHome fetcher("fetcher", Url(HomeRouters::kInternetAddress));
    std::string content = test::PatternBytes(3u << 20, 11);
    std::ofstream(sharer.shared() / "film.bin", std::ios::binary) << content;
    RegisterFetcher(fetcher, GetParam());
    auto forward = routers.Upnpc(
        HomeRouters::kHome1,
        {"-e", "fetcher", "-a", HomeRouters::kHome1Address, "2000", "2000", "TCP", "3600"});
    ASSERT_EQ(forward.code, 0) << forward.out << forward.err;
    LoggedProcess& serve = ServeUnreachable(sharer);

    auto started = std::chrono::steady_clock::now();
    auto get = Command(fetcher, HomeRouters::kHome1, {"get", "film", "--pick", "1"});
    ASSERT_EQ(get.code, 0) << get.out << get.err << serve.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    EXPECT_TRUE(ReadWholeFile(fetcher.shared() / "film.bin") == content);
}

INSTANTIATE_TEST_SUITE_P(Fetcher, PushToFetcher, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "BesideItsServe" : "Alone"; });

// Neither home can be connected to: get asks for the push, the sharer's
// connection is refused at the fetcher's router, and get ends with the
// reason once its deadline for the push has passed.
TEST_F(PushAcrossNat, BothSidesWalledEndsWithTheReason) {
    StartDirectory();
    PeerHome sharer("walled", Url(HomeRouters::kInternetAddress));
    PeerHome fetcher("fetcher", Url(HomeRouters::kInternetAddress));
    std::ofstream(sharer.shared() / "film.bin", std::ios::binary)
        << test::PatternBytes(1u << 20, 5);
    RegisterFetcher(fetcher);
    LoggedProcess& serve = ServeUnreachable(sharer);

    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> argv = fetcher.Program({"get", "film", "--pick", "1"});
    argv.insert(argv.begin() + 3, "BRINDLENET_PUSH_DEADLINE=3");
    auto get = routers.nets().Run(HomeRouters::kHome1, argv, 30s, fetcher.dir.path());
    EXPECT_NE(get.code, 0) << get.out << get.err;
    EXPECT_NE(get.code, -1) << "get hung";
    EXPECT_TRUE(Contains(get.err, "neither you nor walled can accept connections"))
        << get.out << get.err << serve.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    EXPECT_FALSE(std::filesystem::exists(fetcher.shared() / "film.bin"));
}

}  // namespace
}  // namespace brindle
