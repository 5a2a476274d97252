// The directory as several real brindlenet-directory programs on one real
// PostgreSQL: nodes that share every user, a database that goes away and
// comes back under load, a streaming replica serving searches, and nginx in
// front of two nodes.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "server/server_test_support.h"
#include "support/directory_node.h"
#include "support/nginx_proxy.h"
#include "support/postgres_cluster.h"
#include "support/test_support.h"

namespace brindle::server {
namespace {

using brindle::test::DirectoryNode;
using brindle::test::NginxProxy;
using brindle::test::PostgresCluster;
using brindle::test::TempDir;
using brindle::test::WaitFor;
using test::FileEntry;
using test::HttpReply;
using test::Post;
using test::RegistrationBody;

std::string Lookup(int port, const std::string& user) {
    return Post(port, "event=onLookupUserIP&userName=" + user).body;
}

std::string Search(int port, const std::string& query, const std::string& asker = "nobody") {
    return Post(port, "event=onSearch&qs=" + query + "&max=100&ext=*.*&userName=" + asker).body;
}

// A GET of an admin path; the reply.
HttpReply Get(int port, const std::string& path) {
    return test::ParseReply(test::Exchange(
        port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 10000));
}

// The value of one unlabelled metric line ("name value"); -1 when absent.
double Metric(int port, const std::string& name) {
    std::string text = Get(port, "/metrics").body;
    std::size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 2);
}

// A cluster with one directory database, and nodes started on it.
class DirectoryClusterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        cluster_ = PostgresCluster::Create(dir_.path() / "primary", error);
        ASSERT_TRUE(cluster_) << error;
        uri_ = cluster_->CreateDatabase("directory");
        ASSERT_FALSE(uri_.empty());
    }

    DirectoryNode& StartNode(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--db", uri_});
        std::string name = "node" + std::to_string(nodes_.size()) + ".log";
        nodes_.push_back(std::make_unique<DirectoryNode>(BRINDLENET_DIRECTORY_BINARY, options,
                                                         dir_.path() / name));
        DirectoryNode& node = *nodes_.back();
        EXPECT_TRUE(node.started()) << node.logText();
        return node;
    }

    TempDir dir_;
    std::unique_ptr<PostgresCluster> cluster_;
    std::string uri_;
    std::vector<std::unique_ptr<DirectoryNode>> nodes_;
};

TEST_F(DirectoryClusterTest, NodesOnOneDatabaseAreOneDirectoryAndOutliveEachOther) {
    DirectoryNode& a = StartNode();
    DirectoryNode& b = StartNode();
    ASSERT_TRUE(a.started() && b.started());
    ASSERT_EQ(Post(a.port(), RegistrationBody("ann", "pw", "T1", {{"river blue.mp3", 7}})).body,
              "OK\n");
    // Through the other node at once: no user lives in a node's memory.
    EXPECT_EQ(Search(b.port(), "river"), "1\nriver blue.mp3\nann\nT1\n7\n127.0.0.1\n");
    EXPECT_EQ(Lookup(b.port(), "ann"), "127.0.0.1\n");
    EXPECT_EQ(Post(b.port(), RegistrationBody("ann", "wrong", "", {})).body, "BAD-PASSWORD\n");
    EXPECT_EQ(Post(b.port(), "event=onUnregisterUser&userName=ann&password=pw").body, "OK\n");
    EXPECT_EQ(Lookup(a.port(), "ann"), "NOT-LOGGED-IN\n");
    EXPECT_EQ(Search(a.port(), "river"), "0\n");

    // One node killed outright: the other goes on serving everything.
    EXPECT_EQ(a.process().Kill(SIGKILL), -SIGKILL);
    ASSERT_EQ(Post(b.port(), RegistrationBody("bob", "pw", "", {{"song.ogg", 3}})).body, "OK\n");
    EXPECT_EQ(Search(b.port(), "song", "ann"), "1\nsong.ogg\nbob\n\n3\n127.0.0.1\n");
    EXPECT_EQ(Get(b.port(), "/healthz").body, "ok\n");
}

// A waiting request of `user`, answered on a thread of its own.
std::future<HttpReply> WaitAt(int port, const std::string& user) {
    return std::async(std::launch::async, [port, user] {
        return Post(port, "event=onWaitForPush&userName=" + user + "&password=pw");
    });
}

TEST_F(DirectoryClusterTest, PushesAndMessagesReachAUserWaitingOnAnotherNode) {
    DirectoryNode& a = StartNode({"--push-wait", "10"});
    DirectoryNode& b = StartNode({"--push-wait", "10"});
    ASSERT_TRUE(a.started() && b.started());
    ASSERT_EQ(Post(a.port(), RegistrationBody("ann", "pw", "DSL", {})).body, "OK\n");
    ASSERT_EQ(Post(b.port(), RegistrationBody("bob", "pw", "DSL", {{"song.mp3", 5}})).body, "OK\n");
    const std::string token(32, 'a');
    const std::string push =
        "event=onRequestPush&userName=ann&password=pw&target=bob"
        "&file=song.mp3&token=" +
        token;
    // Waiting nowhere: said so, whichever node is asked.
    EXPECT_EQ(Post(a.port(), push).body, "NOT-WAITING\n");

    struct Case {
        std::string request;
        std::string line;
    };
    for (const Case& c :
         {Case{push, "PUSH 127.0.0.1 " + token + " song.mp3\n"},
          Case{"event=onSendMessage&userName=ann&password=pw&target=bob&text=hi there",
               "MESSAGE ann hi there\n"}}) {
        std::future<HttpReply> waiting = WaitAt(b.port(), "bob");
        ASSERT_TRUE(WaitFor([&] { return Metric(b.port(), "brindlenet_waiting_for_push") == 1; }));
        EXPECT_EQ(Post(a.port(), c.request).body, "OK\n");
        ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(waiting.get().body, c.line);
    }
    EXPECT_NE(a.logText().find("forwarded to another node"), std::string::npos);
}

// What one request of the load got: a right answer, a clean refusal while the
// database was away, or something else (a failure of the test).
enum class Outcome { Answered, Unavailable, Wrong };

Outcome Classify(const HttpReply& reply, const std::string& expected) {
    if (reply.complete && reply.status == 200 &&
        (expected.empty() ? !reply.body.empty() : reply.body == expected)) {
        return Outcome::Answered;
    }
    if (reply.complete && reply.status == 503 && reply.body == "UNAVAILABLE\n") {
        return Outcome::Unavailable;
    }
    return Outcome::Wrong;
}

TEST_F(DirectoryClusterTest, DatabaseRestartUnderLoadFailsCleanlyAndNodesRecoverByThemselves) {
    DirectoryNode& a = StartNode();
    DirectoryNode& b = StartNode();
    ASSERT_TRUE(a.started() && b.started());
    ASSERT_EQ(Post(a.port(), RegistrationBody("ann", "pw", "", {{"steady.mp3", 1}})).body, "OK\n");

    auto loadStart = std::chrono::steady_clock::now();
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::map<Outcome, int> counts;
    std::vector<std::string> wrong;
    std::vector<std::thread> clients;
    // Ends the load however the test ends, so no client thread outlives it.
    auto finish = [&] {
        stop = true;
        for (auto& client : clients) {
            if (client.joinable()) {
                client.join();
            }
        }
    };
    struct Finally {
        std::function<void()> run;
        ~Finally() { run(); }
    } finally{finish};
    for (int client = 0; client < 8; ++client) {
        clients.emplace_back([&, client] {
            int port = client % 2 == 0 ? a.port() : b.port();
            std::string user = "user" + std::to_string(client);
            for (int round = 0; !stop; ++round) {
                HttpReply reply;
                std::string expected;
                switch (round % 3) {
                    case 0:
                        reply = Post(port, RegistrationBody(user, "pw", "",
                                                            {{"f" + std::to_string(round), 1}}));
                        expected = "OK\n";
                        break;
                    case 1:
                        reply = Post(port, "event=onLookupUserIP&userName=ann");
                        expected = "127.0.0.1\n";
                        break;
                    default:
                        reply = Post(port, "event=onSearch&qs=steady&max=5&userName=" + user);
                        expected = "1\nsteady.mp3\nann\n\n1\n127.0.0.1\n";
                        break;
                }
                Outcome outcome = Classify(reply, expected);
                std::lock_guard<std::mutex> hold(lock);
                ++counts[outcome];
                if (outcome == Outcome::Wrong && wrong.size() < 5) {
                    wrong.push_back(std::to_string(reply.status) + " " + reply.body);
                }
            }
        });
    }
    auto answered = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return counts[Outcome::Answered];
    };
    ASSERT_TRUE(WaitFor([&] { return answered() > 50; }, std::chrono::seconds(60)));
    ASSERT_TRUE(cluster_->Stop());
    // Both nodes notice, and say so to the proxies' health checks.
    EXPECT_TRUE(WaitFor(
        [&] {
            return Get(a.port(), "/healthz").status == 503 &&
                   Get(b.port(), "/healthz").status == 503;
        },
        std::chrono::seconds(30)));
    int beforeRestart = answered();
    ASSERT_TRUE(cluster_->Start());
    EXPECT_TRUE(
        WaitFor([&] { return answered() > beforeRestart + 100; }, std::chrono::seconds(30)));
    stop = true;
    for (auto& client : clients) {
        client.join();
    }
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::steady_clock::now() - loadStart)
                       .count();
    EXPECT_GT(counts[Outcome::Unavailable], 0);
    EXPECT_EQ(counts[Outcome::Wrong], 0) << ::testing::PrintToString(wrong);
    for (DirectoryNode* node : {&a, &b}) {
        EXPECT_EQ(Get(node->port(), "/healthz").body, "ok\n");
        EXPECT_GE(Metric(node->port(), "brindlenet_database_reconnects_total"), 1)
            << Get(node->port(), "/metrics").body;
        EXPECT_EQ(Lookup(node->port(), "user1"), "127.0.0.1\n");
        // Hundreds of refused requests, but at most one failure line a second.
        std::string log = node->logText();
        long failureLines = 0;
        for (std::size_t at = log.find("\ndatabase "); at != std::string::npos;
             at = log.find("\ndatabase ", at + 1)) {
            ++failureLines;
        }
        EXPECT_GE(failureLines, 1);
        EXPECT_LE(failureLines, seconds + 1) << log.substr(0, 4000);
    }
}

TEST_F(DirectoryClusterTest, AStreamingReplicaServesSearchesAndLookups) {
    std::string error;
    auto replica = cluster_->CreateReplica(dir_.path() / "replica", error, 5433);
    ASSERT_TRUE(replica) << error;
    DirectoryNode& node = StartNode({"--db-replica", replica->Uri("directory")});
    ASSERT_TRUE(node.started());
    // The node made its tables on the primary; the replica has them once it replayed that.
    ASSERT_TRUE(WaitFor([&] {
        std::vector<std::string> found;
        return replica->Query("directory", "SELECT to_regclass('files') IS NOT NULL", &found) &&
               found == std::vector<std::string>{"t"};
    }));

    // A registration goes to the primary and shows through the replica within
    // the replication lag.
    ASSERT_EQ(Post(node.port(), RegistrationBody("ann", "pw", "", {{"first.mp3", 1}})).body,
              "OK\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        WaitFor([&] { return Search(node.port(), "first") != "0\n"; }, std::chrono::seconds(5)));
    std::printf("from \"OK\" to the first search through the replica that finds it: %.1f ms\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());

    // With replay held on the replica, reads miss what the primary has.
    ASSERT_TRUE(replica->Query("postgres", "SELECT pg_wal_replay_pause()", nullptr, &error))
        << error;
    ASSERT_TRUE(WaitFor([&] {
        std::vector<std::string> state;
        return replica->Query("postgres", "SELECT pg_get_wal_replay_pause_state()", &state) &&
               state == std::vector<std::string>{"paused"};
    }));
    ASSERT_EQ(Post(node.port(), RegistrationBody("bob", "pw", "", {{"second.mp3", 2}})).body,
              "OK\n");
    EXPECT_EQ(Search(node.port(), "second"), "0\n");
    EXPECT_EQ(Lookup(node.port(), "bob"), "NOT-REGISTERED\n");
    // Password checks read the primary, so bob can log out at once.
    EXPECT_EQ(Post(node.port(), "event=onUnregisterUser&userName=bob&password=pw").body, "OK\n");
    ASSERT_EQ(Post(node.port(), RegistrationBody("bob", "pw", "", {{"second.mp3", 2}})).body,
              "OK\n");
    ASSERT_TRUE(replica->Query("postgres", "SELECT pg_wal_replay_resume()", nullptr, &error))
        << error;
    EXPECT_TRUE(
        WaitFor([&] { return Search(node.port(), "second") != "0\n"; }, std::chrono::seconds(5)));
    EXPECT_EQ(Lookup(node.port(), "bob"), "127.0.0.1\n");

    // Without the replica the node reads the primary.
    ASSERT_TRUE(replica->Stop());
    ASSERT_EQ(Post(node.port(), RegistrationBody("cid", "pw", "", {{"third.mp3", 3}})).body,
              "OK\n");
    EXPECT_EQ(Search(node.port(), "third"), "1\nthird.mp3\ncid\n\n3\n127.0.0.1\n");
}

class BehindNginxTest : public DirectoryClusterTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BehindNginxTest, TheUserAddressComesFromTheProxyOnlyWhenItIsTrusted) {
    if (!NginxProxy::Installed()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    bool trusted = GetParam();
    std::vector<std::string> options;
    if (trusted) {
        options = {"--trusted-proxy", "127.0.0.1/32"};
    }
    DirectoryNode& a = StartNode(options);
    DirectoryNode& b = StartNode(options);
    ASSERT_TRUE(a.started() && b.started());
    NginxProxy proxy(dir_.path() / "nginx", {a.port(), b.port()});
    ASSERT_TRUE(proxy.started()) << proxy.errorLog();

    auto through = [&](const std::string& body) {
        std::string request = test::ClientRequest(body, proxy.port());
        request.insert(request.find("\r\n") + 2, "X-Forwarded-For: 10.1.2.3\r\n");
        return test::ParseReply(test::Exchange(proxy.port(), request)).body;
    };
    ASSERT_EQ(through(RegistrationBody("ann", "pw", "", {{"proxied.mp3", 4}})), "OK\n");
    const std::string address = trusted ? "10.1.2.3" : "127.0.0.1";
    // nginx takes turns between the nodes: both report the same address.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(through("event=onLookupUserIP&userName=ann"), address + "\n");
    }
    EXPECT_EQ(through("event=onSearch&qs=proxied&max=5&userName=bob"),
              "1\nproxied.mp3\nann\n\n4\n" + address + "\n");
    EXPECT_NE(a.logText().find(" onLookupUserIP 200"), std::string::npos);
    EXPECT_NE(b.logText().find(" onLookupUserIP 200"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Proxy, BehindNginxTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Trusted" : "NotTrusted"; });

}  // namespace
}  // namespace brindle::server
