// Reverse proxies, /healthz and /metrics, and the address ranges behind them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <map>
#include <sstream>

#include "net/socket.h"
#include "server/http/address_range.h"
#include "server/server_options.h"
#include "server/server_test_support.h"

namespace brindle::server {
namespace {

using test::Exchange;
using test::HttpReply;
using test::InProcessServer;
using test::ParseReply;
using test::Post;
using test::RegistrationBody;

// A client's POST with extra header lines ("Name: value\r\n" each).
HttpReply PostWith(int port, const std::string& body, const std::string& extraHeaders) {
    std::string request = test::ClientRequest(body, port);
    request.insert(request.find("\r\n") + 2, extraHeaders);
    return ParseReply(Exchange(port, request));
}

HttpReply Get(int port, const std::string& path) {
    return ParseReply(
        Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
}

std::vector<AddressRange> Ranges(std::initializer_list<const char*> texts) {
    std::vector<AddressRange> ranges;
    for (const char* text : texts) {
        ranges.push_back(*AddressRange::Parse(text));
    }
    return ranges;
}

// Each sample line of a metrics text: "name{labels}" -> value.
std::map<std::string, double> Samples(const std::string& text) {
    std::map<std::string, double> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            std::size_t space = line.rfind(' ');
            samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
        }
    }
    return samples;
}

TEST(AddressRange, BadTextIsRefused) {
    for (const char* text :
         {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0/8", " 10.0.0.0/8",
          "10.0.0.0/8 ", "::ffff:10.0.0.0/95", "example.org", ""}) {
        EXPECT_FALSE(AddressRange::Parse(text)) << text;
    }
}

struct RangeCase {
    const char* range;
    const char* address;
    bool inside;
};

class AddressRangeTable : public ::testing::TestWithParam<RangeCase> {};

TEST_P(AddressRangeTable, ParsesAndContains) {
    const RangeCase& c = GetParam();
    auto range = AddressRange::Parse(c.range);
    ASSERT_TRUE(range) << c.range;
    EXPECT_EQ(range->Contains(std::string_view(c.address)), c.inside) << c.address;
    // An IPv4 address as a dual-stack socket reports it: IPv4-mapped IPv6.
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    std::string text = std::strchr(c.address, ':') ? c.address : std::string("::ffff:") + c.address;
    if (inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) {
        EXPECT_EQ(range->Contains(reinterpret_cast<sockaddr*>(&in6)), c.inside) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressRangeTable,
    ::testing::Values(RangeCase{"10.0.0.0/8", "10.255.1.2", true},
                      RangeCase{"10.0.0.0/8", "11.0.0.1", false},
                      RangeCase{"10.1.2.3/8", "10.9.9.9", true},  // host bits ignored
                      RangeCase{"127.0.0.1", "127.0.0.2", false},
                      RangeCase{"192.168.4.0/22", "192.168.7.255", true},
                      RangeCase{"192.168.4.0/22", "192.168.8.0", false},
                      RangeCase{"0.0.0.0/0", "2001:db8::1", false},
                      RangeCase{"::1/128", "::1", true}, RangeCase{"::1", "::2", false},
                      RangeCase{"2001:db8::/33", "2001:db8:7fff::1", true},
                      RangeCase{"2001:db8::/33", "2001:db8:8000::1", false},
                      RangeCase{"::ffff:10.0.0.0/104", "10.3.3.3", true},
                      RangeCase{"10.0.0.0/8", "::ffff:10.3.3.3", true},
                      RangeCase{"10.0.0.0/8", "not-an-address", false}));

// Forwarded addresses are recorded in one form whichever way they were
// written: dotted IPv4 (also for IPv4-mapped IPv6), RFC 5952 for IPv6.
TEST(CanonicalAddressText, WritesEachAddressInOneForm) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"203.0.113.7", "203.0.113.7"},
        {"::FFFF:CB00:7107", "203.0.113.7"},
        {"FD00:0000:0000:0000:0000:0000:0000:0002", "fd00::2"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"127.1", ""},
        {"[::1]", ""},
        {"::1 ", ""},
    };
    for (const auto& [text, recorded] : cases) {
        EXPECT_EQ(CanonicalAddressText(text), recorded) << text;
    }
}

struct ForwardCase {
    const char* name;
    const char* trusted;  // the trusted proxies' range
    std::string headers;
    std::string lookup;       // what a lookup then reports
    std::string logFragment;  // in the registration's log line
};

void PrintTo(const ForwardCase& c, std::ostream* out) {
    *out << c.name;
}

class ForwardedFor : public ::testing::TestWithParam<ForwardCase> {};

TEST_P(ForwardedFor, DecidesTheAddressRegistrationsStore) {
    const ForwardCase& c = GetParam();
    auto options = InProcessServer::LoopbackOptions();
    options.trustedProxies = Ranges({c.trusted});
    InProcessServer server(options);
    auto reply = PostWith(server.port(), RegistrationBody("ann", "pw", "", {}), c.headers);
    EXPECT_EQ(reply.body, c.lookup == "NOT-REGISTERED\n" ? "NO-IPV4-ADDRESS\n" : "OK\n");
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=ann").body, c.lookup);
    auto lines = server.logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find(c.logFragment), std::string::npos) << lines.front();
}

const std::string kFrom = "X-Forwarded-For: ";
INSTANTIATE_TEST_SUITE_P(
    Cases, ForwardedFor,
    ::testing::Values(
        ForwardCase{"Trusted", "127.0.0.1/32", kFrom + "203.0.113.7\r\n", "203.0.113.7\n",
                    " 203.0.113.7 via 127.0.0.1 onRegisterUser 200 OK"},
        ForwardCase{"Untrusted", "10.0.0.0/8", kFrom + "203.0.113.7\r\n", "127.0.0.1\n",
                    "Z 127.0.0.1 onRegisterUser 200 OK"},
        ForwardCase{"LastEntry", "127.0.0.0/8",
                    kFrom + "198.51.100.1, 198.51.100.2, 203.0.113.7\r\n", "203.0.113.7\n",
                    " 203.0.113.7 via 127.0.0.1 "},
        ForwardCase{"LastHeaderTrimmed", "127.0.0.0/8",
                    kFrom + "198.51.100.1\r\nx-forwarded-for: 198.51.100.2 ,\t 203.0.113.7 \t\r\n",
                    "203.0.113.7\n", " 203.0.113.7 via "},
        ForwardCase{"Mapped", "127.0.0.0/8", kFrom + "::ffff:203.0.113.9\r\n", "203.0.113.9\n",
                    " 203.0.113.9 via "},
        ForwardCase{"Ipv6", "127.0.0.0/8", kFrom + "203.0.113.7, 2001:db8::5\r\n", "2001:db8::5\n",
                    " 2001:db8::5 via 127.0.0.1 onRegisterUser 200 OK"},
        ForwardCase{"Ipv6InItsShortForm", "127.0.0.0/8", kFrom + "2001:0DB8:0:0:0:0:0:0005\r\n",
                    "2001:db8::5\n", " 2001:db8::5 via 127.0.0.1 onRegisterUser 200 OK"},
        ForwardCase{"Ipv6InBrackets", "127.0.0.0/8", kFrom + "[2001:db8::5]\r\n",
                    "NOT-REGISTERED\n", "names no address: \"[2001:db8::5]\""},
        ForwardCase{"Ipv6WithZone", "127.0.0.0/8", kFrom + "fe80::1%eth0\r\n", "NOT-REGISTERED\n",
                    "names no address: \"fe80::1%eth0\""},
        ForwardCase{"Garbage", "127.0.0.0/8", kFrom + "203.0.113.7, 1.2.3.4.5\r\n",
                    "NOT-REGISTERED\n", "names no address: \"203.0.113.7,\\x201.2.3.4.5\""},
        ForwardCase{"NoHeader", "127.0.0.0/8", "", "127.0.0.1\n",
                    "Z 127.0.0.1 onRegisterUser 200 OK"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AdminCase {
    const char* name;
    std::string request;
    const char* adminFrom;  // nullptr: the default
    int status;
    std::string bodyStart;
};

void PrintTo(const AdminCase& c, std::ostream* out) {
    *out << c.name;
}

class AdminAccess : public ::testing::TestWithParam<AdminCase> {};

TEST_P(AdminAccess, OnlyAdmittedAddressesGetTheAdminPages) {
    const AdminCase& c = GetParam();
    auto options = InProcessServer::LoopbackOptions();
    options.trustedProxies = Ranges({"127.0.0.1"});
    if (c.adminFrom != nullptr) {
        options.adminFrom = Ranges({c.adminFrom});
    }
    InProcessServer server(options);
    auto reply = ParseReply(Exchange(server.port(), c.request + "Connection: close\r\n\r\n"));
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body.substr(0, c.bodyStart.size()), c.bodyStart);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdminAccess,
    ::testing::Values(
        AdminCase{"Health", "GET /healthz HTTP/1.1\r\n", nullptr, 200, "ok\n"},
        AdminCase{"Metrics", "GET /metrics HTTP/1.1\r\n", nullptr, 200, "# HELP"},
        AdminCase{"NotAdmitted", "GET /healthz HTTP/1.1\r\n", "10.0.0.0/8", 405, "POST-ONLY\n"},
        AdminCase{"OtherPath", "GET /status HTTP/1.1\r\n", nullptr, 405, "POST-ONLY\n"},
        AdminCase{"OtherMethod", "DELETE /healthz HTTP/1.1\r\n", nullptr, 405, "POST-ONLY\n"},
        // Through a proxy on this machine: the user it names must be admitted too.
        AdminCase{"RelayedForOutsider", "GET /healthz HTTP/1.1\r\nX-Forwarded-For: 203.0.113.7\r\n",
                  nullptr, 405, "POST-ONLY\n"},
        AdminCase{"RelayedForAdmitted", "GET /healthz HTTP/1.1\r\nX-Forwarded-For: ::1\r\n",
                  nullptr, 200, "ok\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Metrics, CountRequestsByEventAndOutcomeAndTimePosts) {
    auto options = InProcessServer::LoopbackOptions();
    options.maxBufferedBytes = 4096;
    InProcessServer server(options);
    ASSERT_EQ(Post(server.port(), RegistrationBody("ann", "pw", "", {{"a", 1}, {"b", 2}})).body,
              "OK\n");
    Post(server.port(), "event=onLookupUserIP&userName=bob");
    Post(server.port(), "event=onDance");
    Get(server.port(), "/");  // refused, but not a timed POST
    EXPECT_EQ(ParseReply(Exchange(server.port(),
                                  "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 9000\r\n\r\n"))
                  .status,
              503);
    {
        Socket dropped = brindle::test::ConnectLoopback(server.port());
        ASSERT_TRUE(SendAll(dropped.fd(), std::string("POST / HTTP/1.1\r\nHost: h\r\n"
                                                      "Content-Length: 50\r\n\r\nevent=")));
    }
    auto scrape = [&] { return Samples(Get(server.port(), "/metrics").body); };
    const std::string requests = "brindlenet_requests_total{event=\"";
    ASSERT_TRUE(brindle::test::WaitFor(
        [&] { return scrape()[requests + "other\",outcome=\"dropped\"}"] == 1; }));

    auto reply = Get(server.port(), "/metrics");
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain; version=0.0.4");
    for (const char* family : {"requests_total counter", "request_duration_seconds histogram",
                               "users_logged_in gauge", "files_published gauge", "database_up"}) {
        EXPECT_NE(reply.body.find(std::string("# TYPE brindlenet_") + family), std::string::npos);
    }
    auto samples = Samples(reply.body);
    EXPECT_EQ(samples[requests + "onRegisterUser\",outcome=\"ok\"}"], 1);
    EXPECT_EQ(samples[requests + "onLookupUserIP\",outcome=\"ok\"}"], 1);
    EXPECT_EQ(samples[requests + "other\",outcome=\"refused\"}"], 2);      // onDance, GET /
    EXPECT_EQ(samples[requests + "other\",outcome=\"unavailable\"}"], 1);  // BUSY
    EXPECT_EQ(samples[requests + "other\",outcome=\"ok\"}"], 0);           // the scrapes
    EXPECT_EQ(samples["brindlenet_users_logged_in"], 1);
    EXPECT_EQ(samples["brindlenet_files_published"], 2);
    // Five POSTs timed; the admin scrapes not at all. Buckets are cumulative.
    double previous = 0;
    for (double bound : ServerMetrics::kBucketBounds) {
        std::ostringstream le;
        le << "brindlenet_request_duration_seconds_bucket{le=\"" << bound << "\"}";
        ASSERT_EQ(samples.count(le.str()), 1u) << le.str();
        EXPECT_GE(samples[le.str()], previous);
        previous = samples[le.str()];
    }
    EXPECT_EQ(previous, 5);  // none took 10 s
    EXPECT_EQ(samples["brindlenet_request_duration_seconds_bucket{le=\"+Inf\"}"], 5);
    EXPECT_EQ(samples["brindlenet_request_duration_seconds_count"], 5);
    EXPECT_GT(samples["brindlenet_request_duration_seconds_sum"], 0);
}

// The SQLite store behind a switch that takes the database away.
class OutageStore : public DirectoryStore {
  public:
    explicit OutageStore(DirectoryStore& inner) : inner_(inner) {}
    StoreStatus FindUser(std::string_view name, UserRecord& out, ReadFreshness fresh) override {
        return down ? StoreStatus::Unavailable : inner_.FindUser(name, out, fresh);
    }
    StoreStatus Register(const Registration& r) override { return inner_.Register(r); }
    StoreStatus LogOut(std::string_view n, std::string_view h) override {
        return inner_.LogOut(n, h);
    }
    StoreStatus Search(const SearchRequest& r, std::vector<SearchHit>& out) override {
        return inner_.Search(r, out);
    }
    bool Reachable() override { return !down && inner_.Reachable(); }
    StoreStatistics Statistics() override {
        return down ? StoreStatistics{-1, -1, 3, 1} : inner_.Statistics();
    }
    std::atomic<bool> down{false};

  private:
    DirectoryStore& inner_;
};

TEST(Metrics, HealthAndStoreFiguresFollowTheDatabase) {
    brindle::test::TempDir dir;
    std::string error;
    ASSERT_TRUE(PasswordHasher::Initialize());
    auto sqlite = SqliteStore::Open((dir.path() / "directory.db").string(), error);
    ASSERT_TRUE(sqlite) << error;
    OutageStore store(*sqlite);
    PasswordHasher hasher(PasswordHasher::Minimum());
    EventDispatcher dispatcher(store, hasher);
    DirectoryHttpServer http(dispatcher, InProcessServer::LoopbackOptions(), nullptr);
    ASSERT_TRUE(http.Start(error)) << error;
    EXPECT_EQ(Get(http.port(), "/healthz").body, "ok\n");
    store.down = true;
    auto health = Get(http.port(), "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "unavailable\n");
    EXPECT_EQ(Post(http.port(), RegistrationBody("ann", "pw", "", {})).status, 503);
    auto samples = Samples(Get(http.port(), "/metrics").body);
    EXPECT_EQ(samples["brindlenet_database_up"], 0);
    EXPECT_EQ(samples.count("brindlenet_users_logged_in"), 0u);  // not known
    EXPECT_EQ(samples["brindlenet_database_errors_total"], 3);
    EXPECT_EQ(samples["brindlenet_database_reconnects_total"], 1);
    EXPECT_EQ(
        samples["brindlenet_requests_total{event=\"onRegisterUser\",outcome=\"unavailable\"}"], 1);
    http.Stop();
}

TEST(ServerOptions, ProxyAndAdminRanges) {
    ServerConfig config;
    std::string error;
    const char* args[] = {"x",
                          "--trusted-proxy=::1",
                          "--admin-from=192.0.2.0/24",
                          "--admin-from",
                          "::1",
                          "--trusted-proxy",
                          "10.0.0.0/33"};
    EXPECT_FALSE(ParseCommandLine(7, args, config, error));
    EXPECT_EQ(error, "bad value for --trusted-proxy: 10.0.0.0/33");
    EXPECT_EQ(config.http.trustedProxies.size(), 1u);
    EXPECT_EQ(config.http.adminFrom.size(), 2u);  // the default replaced, not added to
}

TEST(ServerOptions, DeadlinesAreWholeSeconds) {
    ServerConfig config;
    std::string error;
    const char* args[] = {"x", "--header-timeout", "5", "--body-timeout=90"};
    ASSERT_TRUE(ParseCommandLine(4, args, config, error)) << error;
    EXPECT_EQ(config.http.headerTimeout, std::chrono::seconds(5));
    EXPECT_EQ(config.http.bodyTimeout, std::chrono::seconds(90));
    const char* zero[] = {"x", "--header-timeout=0"};
    EXPECT_FALSE(ParseCommandLine(2, zero, config, error));
    EXPECT_EQ(error, "bad value for --header-timeout: 0");
}

TEST(ServerOptions, ValuesAreTakenAsTyped) {
    struct Case {
        std::vector<const char*> args;
        std::string error;  // "" when the line is accepted
    };
    for (const Case& c : std::vector<Case>{
             {{"x", "--db=", "other.db"}, "--db needs a path"},
             {{"x", "--port="}, "bad value for --port: "},
             {{"x", "--timeout"}, "--timeout needs a value"},
             {{"x", "--port", "010", "--port", "0x10"}, "bad value for --port: 0x10"},
             {{"x", "--max-files=-1"}, "bad value for --max-files: -1"},
             {{"x", "--colour=red", "--port", "1"}, "unknown option: --colour"},
             {{"x", "--db", "[a,b]", "--db-replica=[c]", "--db-replica", "--port"}, ""}}) {
        ServerConfig config;
        std::string error;
        bool parsed =
            ParseCommandLine(static_cast<int>(c.args.size()), c.args.data(), config, error);
        EXPECT_EQ(error, c.error) << c.args[1];
        EXPECT_EQ(parsed, c.error.empty()) << c.args[1];
        if (parsed) {
            EXPECT_EQ(config.databasePath, "[a,b]");
            EXPECT_EQ(config.replicaUris, (std::vector<std::string>{"[c]", "--port"}));
        }
    }
}

}  // namespace
}  // namespace brindle::server
