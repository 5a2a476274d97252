// The real brindlenet-directory program as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "net/socket.h"
#include "server/server_test_support.h"
#include "server/store/sqlite/sqlite_store.h"

extern char** environ;

namespace brindle::server {
namespace {

using brindle::test::ReadWholeFile;
using brindle::test::TempDir;
using brindle::test::WaitFor;
using test::ClientRequest;
using test::FileEntry;
using test::Post;
using test::RegistrationBody;

// Runs the program with `args`; standard output and error go to files.
class Child {
  public:
    Child(const std::vector<std::string>& args, const std::filesystem::path& out,
          const std::filesystem::path& err) {
        std::vector<char*> argv;
        std::string program = BRINDLENET_DIRECTORY_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (auto& arg : copy) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            Kill(SIGKILL);
        }
    }
    // Sends `signal` and reaps the child; its exit code, or -signal.
    int Kill(int signal) {
        ::kill(pid_, signal);
        return Wait();
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// A server child on a free port of 127.0.0.1 with its database in `dir`.
class ServerChild {
  public:
    explicit ServerChild(const TempDir& dir)
        : log_(dir.path() / "server.log"),
          child_({"--port", "0", "--bind", "127.0.0.1", "--db",
                  (dir.path() / "data" / "dir.db").string()},
                 dir.path() / "server.out", log_) {}

    // Waits for the "listening" line in a fresh log file; the port, or 0.
    int WaitForPort() {
        const std::string marker = "listening on 127.0.0.1 port ";
        int port = 0;
        WaitFor([&] {
            std::string text = ReadWholeFile(log_);
            std::size_t at = text.find(marker);
            if (at == std::string::npos || text.find(',', at) == std::string::npos) {
                return false;
            }
            port = std::atoi(text.c_str() + at + marker.size());
            return true;
        });
        return port;
    }
    Child& child() { return child_; }

  private:
    std::filesystem::path log_;
    Child child_;
};

TEST(ServerProcess, HelpAndBadOptions) {
    TempDir dir;
    Child help({"--help"}, dir.path() / "help.out", dir.path() / "help.err");
    ASSERT_TRUE(help.started());
    EXPECT_EQ(help.Wait(), 0);
    std::string text = ReadWholeFile(dir.path() / "help.out");
    for (const char* option : {"--port", "--bind", "--db", "--max-per-address", "--timeout",
                               "--header-timeout", "--body-timeout"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    Child bad({"--colour", "red"}, dir.path() / "bad.out", dir.path() / "bad.err");
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_NE(ReadWholeFile(dir.path() / "bad.err").find("unknown option: --colour"),
              std::string::npos);
}

TEST(ServerProcess, RestartKeepsUsersFilesAndPasswords) {
    TempDir dir;
    {
        ServerChild server(dir);
        int port = server.WaitForPort();
        ASSERT_NE(port, 0) << ReadWholeFile(dir.path() / "server.log");
        ASSERT_EQ(Post(port, RegistrationBody("ann", "pw", "T1", {{"keep.mp3", 9}})).body, "OK\n");
        ASSERT_EQ(Post(port, RegistrationBody("bob", "pw", "", {})).body, "OK\n");
        ASSERT_EQ(Post(port, "event=onUnregisterUser&userName=bob&password=pw").body, "OK\n");
        EXPECT_EQ(server.child().Kill(SIGTERM), 0);
    }
    std::string log = ReadWholeFile(dir.path() / "server.log");
    EXPECT_NE(log.find("127.0.0.1 onRegisterUser 200 OK"), std::string::npos) << log;
    EXPECT_EQ(log.find("pw&"), std::string::npos);

    std::filesystem::rename(dir.path() / "server.log", dir.path() / "first.log");
    ServerChild again(dir);
    int port = again.WaitForPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(Post(port, "event=onLookupUserIP&userName=ann").body, "127.0.0.1\n");
    EXPECT_EQ(Post(port, "event=onLookupUserIP&userName=bob").body, "NOT-LOGGED-IN\n");
    EXPECT_EQ(Post(port, "event=onSearch&qs=keep&max=10&ext=*.mp3&userName=bob").body,
              "1\nkeep.mp3\nann\nT1\n9\n127.0.0.1\n");
    EXPECT_EQ(Post(port, RegistrationBody("ann", "not-pw", "", {})).body, "BAD-PASSWORD\n");
}

// A service manager's reload sends SIGHUP; a plain HTTP server notes it and
// keeps serving instead of dying of it.
TEST(ServerProcess, SighupWithoutCertificateKeepsServing) {
    TempDir dir;
    ServerChild server(dir);
    int port = server.WaitForPort();
    ASSERT_NE(port, 0) << ReadWholeFile(dir.path() / "server.log");
    ASSERT_EQ(Post(port, RegistrationBody("ann", "pw", "", {})).body, "OK\n");
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(::kill(server.child().pid(), SIGHUP), 0);
        EXPECT_TRUE(WaitFor([&] {
            std::string log = ReadWholeFile(dir.path() / "server.log");
            std::size_t count = 0;
            for (std::size_t at = log.find("nothing to reload"); at != std::string::npos;
                 at = log.find("nothing to reload", at + 1)) {
                ++count;
            }
            return count == static_cast<std::size_t>(i + 1);
        })) << ReadWholeFile(dir.path() / "server.log");
        EXPECT_EQ(Post(port, "event=onLookupUserIP&userName=ann").body, "127.0.0.1\n");
    }
    EXPECT_EQ(server.child().Kill(SIGTERM), 0);
}

// What a restart finds after a kill: a sound database, every registration
// that was answered "OK", and bob's big list whole or absent.
void ExpectDatabaseAfterKill(const std::filesystem::path& path, int annCount, bool bobComplete) {
    std::string error;
    auto store = SqliteStore::Open(path.string(), error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->CheckIntegrity(), "ok");
    std::vector<SearchHit> hits;
    ASSERT_EQ(store->Search({"safe.mp3", "*.*", "", 100, false}, hits), StoreStatus::Ok);
    EXPECT_EQ(static_cast<int>(hits.size()), annCount);
    long long files = store->FileCount();
    UserRecord bob;
    bool bobThere = store->FindUser("bob", bob) == StoreStatus::Ok;
    if (bobComplete) {
        EXPECT_EQ(files, annCount + 60000);
    } else {
        EXPECT_TRUE(files == annCount || files == annCount + 60000) << files;
    }
    EXPECT_EQ(bobThere, files > annCount);
}

// Killed at some point of a large registration, the server restarts with every
// completed registration intact and the interrupted one either whole or absent.
TEST(ServerProcess, KillDuringRegistrationLosesNothingCompleted) {
    TempDir dir;
    std::vector<FileEntry> many;
    for (int i = 0; i < 60000; ++i) {
        many.push_back(
            {"collection\\disc " + std::to_string(i / 20) + "\\file " + std::to_string(i) + ".flac",
             i});
    }
    const std::string bigBody = RegistrationBody("bob", "pw", "", many);
    const auto database = dir.path() / "data" / "dir.db";
    const auto wal = dir.path() / "data" / "dir.db-wal";
    enum KillPoint { kHalfSent, kWriting, kAnswered };
    for (KillPoint point : {kHalfSent, kWriting, kAnswered}) {
        SCOPED_TRACE(point);
        std::filesystem::remove(dir.path() / "server.log");
        ServerChild server(dir);
        int port = server.WaitForPort();
        ASSERT_NE(port, 0) << ReadWholeFile(dir.path() / "server.log");
        std::string ann = "ann" + std::to_string(point);
        ASSERT_EQ(Post(port, RegistrationBody(ann, "pw", "", {{"safe.mp3", 1}})).body, "OK\n");

        Socket socket = OpenServerConnection("127.0.0.1", port);
        ASSERT_TRUE(socket);
        std::string request = ClientRequest(bigBody, port);
        std::error_code ec;
        auto walBefore = std::filesystem::file_size(wal, ec);
        if (point == kHalfSent) {
            ASSERT_TRUE(SendAll(socket.fd(), request.substr(0, request.size() / 2)));
        } else {
            ASSERT_TRUE(SendAll(socket.fd(), request));
        }
        if (point == kWriting) {
            // The transaction spills into the log long before it commits.
            WaitFor([&] { return std::filesystem::file_size(wal, ec) > walBefore + (1 << 20); });
        } else if (point == kAnswered) {
            std::string reply;
            std::string line;
            while (ReceiveLine(socket.fd(), line)) {
                reply += line;
            }
            ASSERT_EQ(test::ParseReply(reply).body, "OK\n");
        }
        EXPECT_EQ(server.child().Kill(SIGKILL), -SIGKILL);
        ExpectDatabaseAfterKill(database, point + 1, point == kAnswered);
    }
}

}  // namespace
}  // namespace brindle::server
