#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/net_helpers.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Two connected stream sockets; tests write on one end and read on the other.
struct SocketPair {
    Socket a;
    Socket b;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a.reset(fds[0]);
            b.reset(fds[1]);
        }
    }
};

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Whatever is readable now, without waiting.
std::string Pending(int fd) {
    char chunk[256];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    return n > 0 ? std::string(chunk, static_cast<size_t>(n)) : std::string();
}

TEST(SocketHandle, ClosesOnceAndMovesOwnership) {
    SocketPair pair;
    int fd = pair.a.fd();
    ASSERT_GE(fd, 0);
    Socket moved(std::move(pair.a));
    EXPECT_FALSE(pair.a.valid());
    EXPECT_EQ(moved.fd(), fd);
    Socket assigned;
    assigned = std::move(moved);
    EXPECT_FALSE(moved.valid());
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    assigned.reset();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

    int kept = pair.b.release();
    EXPECT_FALSE(pair.b.valid());
    EXPECT_NE(::fcntl(kept, F_GETFD), -1);
    ::close(kept);
}

std::atomic<int> interruptions{0};
void CountInterruption(int) {
    interruptions.fetch_add(1, std::memory_order_relaxed);
}

TEST(SendAll, DeliversEveryByteThroughPartialAndInterruptedSends) {
    // A small send buffer makes the sender block many times; signals without
    // SA_RESTART cut those blocked sends short (a partial count or EINTR).
    struct sigaction action {};
    action.sa_handler = CountInterruption;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, nullptr),
              0);  // left installed: late signals stay harmless

    SocketPair pair;
    int small = 4096;
    ::setsockopt(pair.a.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string data = test::PatternBytes(4 << 20);

    std::string received;
    std::thread reader([&] { received = test::ReadUntilClosed(pair.b.fd(), 20s); });
    std::atomic<bool> done{false};
    pthread_t sender = ::pthread_self();
    std::thread signaller([&] {
        while (!done) {
            ::pthread_kill(sender, SIGUSR1);
            std::this_thread::yield();
        }
    });
    bool ok = SendAll(pair.a.fd(), data);
    done = true;
    signaller.join();
    pair.a.reset();
    reader.join();

    EXPECT_TRUE(ok);
    EXPECT_GT(interruptions.load(), 0);
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST(SendAll, EmptyBufferSucceedsAndClosedPeerFailsWithoutSignal) {
    SocketPair pair;
    EXPECT_TRUE(SendAll(pair.a.fd(), nullptr, 0));
    EXPECT_TRUE(SendAll(pair.a.fd(), std::string()));
    EXPECT_EQ(Pending(pair.b.fd()), "");
    EXPECT_FALSE(SendAll(pair.a.fd(), "x", -1));

    pair.b.reset();
    // Would raise SIGPIPE and end the test program without MSG_NOSIGNAL.
    EXPECT_FALSE(SendAll(pair.a.fd(), std::string("after close\n")));
}

TEST(ReceiveLine, TakesOneLineAndLeavesTheFollowingBytesOnTheSocket) {
    SocketPair pair;
    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("\nxy\r\nrest")));
    std::string line;
    ASSERT_TRUE(ReceiveLine(pair.b.fd(), line));
    EXPECT_EQ(line, "\n");
    ASSERT_TRUE(ReceiveLine(pair.b.fd(), line));
    EXPECT_EQ(line, "xy\r\n");
    EXPECT_EQ(Pending(pair.b.fd()), "rest");
}

TEST(ReceiveLine, SplitsAtTheLimitAndKeepsAZeroFilledBufferTerminated) {
    SocketPair pair;
    std::string longLine(1500, 'a');
    ASSERT_TRUE(SendAll(pair.a.fd(), longLine + "\nnext\nabcdefg\n"));

    char buffer[kLineBufferSize] = {};
    int count = -1;
    ASSERT_TRUE(ReceiveLine(pair.b.fd(), buffer, kLineLimit, &count));
    EXPECT_EQ(count, kLineLimit);
    EXPECT_EQ(std::strlen(buffer), size_t(kLineLimit));

    // The rest of the long line; "next" already waits behind it but must not
    // show up after the terminator.
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_TRUE(ReceiveLine(pair.b.fd(), buffer, kLineLimit, &count));
    EXPECT_EQ(std::string(buffer), std::string(1500 - kLineLimit, 'a') + "\n");
    EXPECT_EQ(count, 1500 - kLineLimit + 1);
    EXPECT_EQ(buffer[count + 1], '\0');

    std::memset(buffer, 0, sizeof buffer);
    ASSERT_TRUE(ReceiveLine(pair.b.fd(), buffer, kLineLimit, &count));
    EXPECT_STREQ(buffer, "next\n");

    // Small limits: parts of exactly the limit, the line feed in the last one.
    std::vector<std::string> parts;
    for (int i = 0; i < 3; ++i) {
        char small[4] = {};
        ASSERT_TRUE(ReceiveLine(pair.b.fd(), small, 3, &count));
        parts.emplace_back(small, static_cast<size_t>(count));
    }
    EXPECT_EQ(parts, (std::vector<std::string>{"abc", "def", "g\n"}));
    EXPECT_FALSE(ReceiveLine(pair.b.fd(), buffer, 0, &count));
    EXPECT_EQ(count, 0);
}

TEST(ReceiveLine, PeerCloseGivesThePartialLineThenFailure) {
    SocketPair pair;
    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("abc")));
    ::shutdown(pair.a.fd(), SHUT_WR);
    std::string line;
    EXPECT_TRUE(ReceiveLine(pair.b.fd(), line));
    EXPECT_EQ(line, "abc");
    EXPECT_FALSE(ReceiveLine(pair.b.fd(), line));
    EXPECT_EQ(line, "");
}

TEST(ReceiveLine, ErrorAfterSomeBytesFailsAndKeepsThem) {
    SocketPair pair;
    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("abc")));
    SetIdleTimeout(pair.b.fd(), 100ms);  // the stalled read then ends in an error
    char buffer[kLineBufferSize] = {};
    int count = -1;
    EXPECT_FALSE(ReceiveLine(pair.b.fd(), buffer, kLineLimit, &count));
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(buffer, "abc");
}

TEST(ReceiveLine, AssemblesALineThatArrivesInPieces) {
    SocketPair pair;
    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("hel")));
    std::string line;
    bool ok = false;
    std::thread reader([&] { ok = ReceiveLine(pair.b.fd(), line); });
    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("lo")));
    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("\nnext")));
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(line, "hello\n");
    EXPECT_EQ(Pending(pair.b.fd()), "next");
}

// Each way a receive ends has its own kind: a peek leaves the bytes, an
// empty socket without a wait and a stalled one with a time-out give NotYet.
TEST(ReceiveSome, NamesBytesNothingYetCloseAndFailure) {
    SocketPair pair;
    char buffer[8] = {};
    using Kind = Received::Kind;
    EXPECT_EQ(ReceiveSome(pair.b, buffer, sizeof buffer, {.dontWait = true}).kind, Kind::NotYet);
    SetIdleTimeout(pair.b.fd(), 50ms);
    EXPECT_EQ(ReceiveSome(pair.b, buffer, sizeof buffer).kind, Kind::NotYet);

    ASSERT_TRUE(SendAll(pair.a.fd(), std::string("abcdef")));
    Received peeked = ReceiveSome(pair.b, buffer, 4, {.peek = true});
    EXPECT_EQ(peeked.kind, Kind::Bytes);
    EXPECT_EQ(std::string(buffer, peeked.count), "abcd");
    Received taken = ReceiveSome(pair.b, buffer, sizeof buffer);
    EXPECT_TRUE(taken);
    EXPECT_EQ(std::string(buffer, taken.count), "abcdef");

    ::shutdown(pair.a.fd(), SHUT_WR);
    EXPECT_EQ(ReceiveSome(pair.b, buffer, sizeof buffer).kind, Kind::Closed);
    EXPECT_FALSE(ReceiveSome(pair.b, buffer, sizeof buffer));
    EXPECT_EQ(ReceiveSome(Socket(), buffer, sizeof buffer).kind, Kind::Failed);
}

TEST(OpenServerConnection, ConnectsToADottedAddressAndToALocalName) {
    test::ScriptedServer server(
        [](int fd) { static_cast<void>(SendAll(fd, std::string("hello\nworld\n"))); });
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        Socket socket = OpenServerConnection(host, server.port());
        ASSERT_TRUE(socket.valid());
        EXPECT_TRUE(::fcntl(socket.fd(), F_GETFD) & FD_CLOEXEC);
        std::string line;
        ASSERT_TRUE(ReceiveLine(socket.fd(), line));
        EXPECT_EQ(line, "hello\n");
        ASSERT_TRUE(ReceiveLine(socket.fd(), line));
        EXPECT_EQ(line, "world\n");
    }
}

TEST(OpenServerConnection, FailuresLeaveNoDescriptorOpen) {
    // A bound socket that does not listen refuses connections.
    Socket bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(bound.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(bound.fd(), reinterpret_cast<sockaddr*>(&address), &size);
    int refusingPort = ntohs(address.sin_port);

    int before = OpenDescriptors();
    EXPECT_FALSE(OpenServerConnection("127.0.0.1", refusingPort).valid());
    EXPECT_FALSE(OpenServerConnection("127.0.0.1", refusingPort, {1000ms, 1000ms}).valid());
    EXPECT_FALSE(OpenServerConnection("127.0.0.1", 70000).valid());
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(OpenServerConnection, ConnectTimeoutEndsAConnectThatNeverCompletes) {
    // A listener that never accepts, with the smallest backlog: once its queue
    // is full, further connection attempts get no answer at all.
    int port = 0;
    Socket listener = test::ListenOnLoopback(0, port);

    std::vector<Socket> queued;
    bool timedOut = false;
    for (int attempt = 0; attempt < 8 && !timedOut; ++attempt) {
        int before = OpenDescriptors();
        auto start = Clock::now();
        Socket socket = OpenServerConnection("127.0.0.1", port, {200ms, 0ms});
        auto took = Clock::now() - start;
        if (socket.valid()) {
            queued.push_back(std::move(socket));
            continue;
        }
        timedOut = true;
        EXPECT_GE(took, 150ms);
        EXPECT_LT(took, 5s);
        EXPECT_EQ(OpenDescriptors(), before);
    }
    EXPECT_TRUE(timedOut);
}

TEST(OpenServerConnection, IdleTimeoutEndsStalledReceivesAndSends) {
    // The server reads nothing and sends nothing until the client goes.
    test::ScriptedServer server([](int fd) {
        pollfd p{fd, POLLRDHUP, 0};
        ::poll(&p, 1, 10000);
    });
    Socket socket = OpenServerConnection("127.0.0.1", server.port(), {1000ms, 150ms});
    ASSERT_TRUE(socket.valid());
    timeval limit{};
    socklen_t size = sizeof limit;
    ::getsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, &size);
    EXPECT_NEAR(limit.tv_sec * 1000 + limit.tv_usec / 1000, 150, 20);  // kept in clock ticks

    auto start = Clock::now();
    std::string line;
    EXPECT_FALSE(ReceiveLine(socket.fd(), line));
    EXPECT_GE(Clock::now() - start, 100ms);

    // More than every buffer on the way holds: the send stalls, then fails.
    std::string big(64 << 20, 'x');
    EXPECT_FALSE(SendAll(socket.fd(), big));
    EXPECT_LT(Clock::now() - start, 8s);

    // Unsent bytes would hold back an orderly close; reset the connection so
    // the server sees the end at once.
    linger abort{1, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    socket.reset();
}

TEST(ConnectWithin, AShutdownFromAnotherThreadEndsAConnectWithoutLimit) {
    test::UnansweredPort target;
    ASSERT_TRUE(target.Fill());
    IpAddress loopback;
    ASSERT_TRUE(ParseNumericAddress("127.0.0.1", &loopback));
    Socket socket = NewStreamSocket();
    ASSERT_TRUE(socket.valid());
    std::atomic<bool> done{false};
    std::atomic<bool> connected{true};
    std::thread connecting([&] {
        connected = ConnectWithin(socket.fd(), loopback, target.port, 0ms);
        done = true;
    });
    // A shutdown before the connect has begun does nothing, so it is repeated
    // until the connect has ended.
    bool ended = test::WaitFor([&] {
        socket.Shutdown();
        return done.load();
    });
    if (!ended) {
        socket.reset();  // frees the thread before the test fails
    }
    connecting.join();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(connected);
    EXPECT_EQ(::fcntl(socket.fd(), F_GETFL) & O_NONBLOCK, 0);
}

struct DottedCase {
    const char* text;
    bool valid;
    std::uint32_t hostOrder;
};

class ParseDottedAddressTest : public ::testing::TestWithParam<DottedCase> {};

TEST_P(ParseDottedAddressTest, ReadsOnlyDottedAddresses) {
    std::uint32_t address = 7;
    EXPECT_EQ(ParseDottedAddress(GetParam().text, &address), GetParam().valid);
    EXPECT_EQ(ntohl(address), GetParam().valid ? GetParam().hostOrder : ntohl(7));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDottedAddressTest,
    ::testing::Values(DottedCase{"127.0.0.1", true, 0x7F000001}, DottedCase{"0.0.0.0", true, 0},
                      DottedCase{"255.255.255.255", true, 0xFFFFFFFF}, DottedCase{"", false, 0},
                      DottedCase{"localhost", false, 0}, DottedCase{"1.2.3.4.5", false, 0},
                      DottedCase{"1.2.3.256", false, 0}));

struct NumericCase {
    const char* text;
    bool valid;
    bool ipv6 = false;
    const char* canonical = "";  // AddressText of what was read
};

class ParseNumericAddressTest : public ::testing::TestWithParam<NumericCase> {};

TEST_P(ParseNumericAddressTest, ReadsIpv4AndIpv6AndWritesTheShortForm) {
    const NumericCase& c = GetParam();
    IpAddress address;
    address.bytes[0] = 7;
    const IpAddress before = address;
    ASSERT_EQ(ParseNumericAddress(c.text, &address), c.valid);
    if (!c.valid) {
        EXPECT_EQ(address, before);
        return;
    }
    EXPECT_EQ(address.ipv6, c.ipv6);
    EXPECT_EQ(AddressText(address), c.canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseNumericAddressTest,
    ::testing::Values(NumericCase{"127.0.0.1", true, false, "127.0.0.1"},
                      NumericCase{"127.1", true, false, "127.0.0.1"},
                      NumericCase{"::1", true, true, "::1"},
                      NumericCase{"FD00:0:0:0:0:0:0:2", true, true, "fd00::2"},
                      NumericCase{"2001:0db8::0001", true, true, "2001:db8::1"},
                      // Mapped IPv4 is reached as IPv4.
                      NumericCase{"::ffff:10.0.0.7", true, false, "10.0.0.7"},
                      NumericCase{"", false}, NumericCase{"peer.example", false},
                      NumericCase{"[::1]", false}, NumericCase{"fd00::1%eth0", false},
                      NumericCase{"fd00::1::2", false}));

// Connects to `port` on `host` and checks that `listener` accepts it.
void ExpectAccepted(const Socket& listener, const std::string& host, int port) {
    SCOPED_TRACE(host);
    Socket client = ConnectToAddress(host, port, std::chrono::seconds(5));
    ASSERT_TRUE(client.valid());
    pollfd p{listener.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_TRUE(AcceptConnection(listener.fd()).valid());
}

TEST(OpenListeningSocket, EveryInterfaceTakesIpv4AndIpv6Clients) {
    Socket listener;
    int port = 0;
    ASSERT_EQ(OpenListeningSocket("::", 0, listener, &port), ListenResult::Listening);
    EXPECT_GT(port, 0);
    ExpectAccepted(listener, "127.0.0.1", port);
    if (!test::HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ExpectAccepted(listener, "::1", port);
    // The server connection reads the same numeric texts.
    Socket client = OpenServerConnection("::1", port);
    EXPECT_TRUE(client.valid());
    EXPECT_FALSE(ConnectToAddress("localhost", port, std::chrono::seconds(5)).valid());
}

TEST(OpenListeningSocket, ListensAcceptsAndNamesEachFailure) {
    Socket listener;
    int port = 0;
    ASSERT_EQ(OpenListeningSocket("127.0.0.1", 0, listener, &port), ListenResult::Listening);
    ASSERT_TRUE(listener.valid());
    EXPECT_GT(port, 0);
    EXPECT_NE(::fcntl(listener.fd(), F_GETFL) & O_NONBLOCK, 0);
    // Nothing waiting: the accept fails at once instead of blocking.
    EXPECT_FALSE(AcceptConnection(listener.fd()).valid());

    Socket client = OpenServerConnection("127.0.0.1", port);
    ASSERT_TRUE(client.valid());
    pollfd p{listener.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    Socket accepted = AcceptConnection(listener.fd());
    ASSERT_TRUE(accepted.valid());
    EXPECT_EQ(::fcntl(accepted.fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(::fcntl(accepted.fd(), F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(SendAll(client.fd(), std::string("hi\n")));
    std::string line;
    ASSERT_TRUE(ReceiveLine(accepted.fd(), line));
    EXPECT_EQ(line, "hi\n");

    Socket other;
    int unused = -1;
    EXPECT_EQ(OpenListeningSocket("127.0.0.1", port, other, &unused), ListenResult::BindFailed);
    EXPECT_EQ(OpenListeningSocket("no address", 0, other, &unused), ListenResult::BindFailed);
    EXPECT_FALSE(other.valid());
    EXPECT_EQ(unused, -1);
}

}  // namespace
}  // namespace brindle
