// A directory server and two headless peers as real processes, each peer in a
// network namespace of its own, joined by a bridge, so both listen on port
// 2000 as real hosts do.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/net_namespaces.h"
#include "support/partial_downloads.h"
#include "support/test_support.h"
#include "support/tls_scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::TempDir;
using test::WaitFor;

#ifdef BRINDLENET_DIRECTORY_PROGRAM
constexpr const char* kDirectoryProgram = BRINDLENET_DIRECTORY_PROGRAM;
#else
constexpr const char* kDirectoryProgram = "";
#endif
constexpr const char* kPeerProgram = BRINDLENET_PEER_PROGRAM;

constexpr char kServerAddress[] = "10.77.0.1";
constexpr char kAliceAddress[] = "10.77.0.2";
constexpr char kBobAddress[] = "10.77.0.3";

using Process = test::LoggedProcess;

// Three namespaces: the server's, holding a bridge, and one per peer, each
// joined to the bridge by a veth pair.
class Lab {
  public:
    // False (with `why`) when namespaces cannot be made here.
    bool Build(std::string& why) {
        if (!test::NetNamespaces::Available(why)) {
            return false;
        }
        if (!(nets_.Add(server_) && nets_.Add(alice_) && nets_.Add(bob_) &&
              nets_.Bridge(server_, "br0") &&
              nets_.Address(server_, "br0", std::string(kServerAddress) + "/24") &&
              nets_.Link(alice_, "eth0", server_, "ta") &&
              nets_.Link(bob_, "eth0", server_, "tb") && nets_.Enslave(server_, "ta", "br0") &&
              nets_.Enslave(server_, "tb", "br0") &&
              nets_.Address(alice_, "eth0", std::string(kAliceAddress) + "/24") &&
              nets_.Address(bob_, "eth0", std::string(kBobAddress) + "/24"))) {
            why = "cannot build the network namespaces (" + nets_.error() + ")";
            return false;
        }
        return true;
    }

    // Limits what bob's side sends, so a transfer takes a while.
    bool SlowBobDown() {
        return nets_
                   .Run(bob_, {"tc", "qdisc", "add", "dev", "eth0", "root", "tbf", "rate", "40mbit",
                               "burst", "32kb", "latency", "1s"})
                   .code == 0;
    }

    // Paces what bob's side sends without dropping a packet: the queue holds
    // more than any TCP window, so no byte on the link is sent twice, and a
    // burst of a whole offloaded segment keeps it from being cut up.
    bool PaceBob(const std::string& rate) {
        return nets_
                   .Run(bob_, {"tc", "qdisc", "add", "dev", "eth0", "root", "tbf", "rate", rate,
                               "burst", "256kb", "limit", "32mb"})
                   .code == 0;
    }

    // The bytes bob's host has sent on its link so far (frames, headers and all), or -1.
    long long BobSentBytes() {
        auto read = nets_.Run(bob_, {"cat", "/sys/class/net/eth0/statistics/tx_bytes"});
        return read.code != 0 || read.out.empty() ? -1 : std::stoll(read.out);
    }

    std::vector<std::string> In(const std::string& role, std::vector<std::string> argv) const {
        return nets_.In(role, std::move(argv));
    }
    const std::string& server() const { return server_; }
    const std::string& alice() const { return alice_; }
    const std::string& bob() const { return bob_; }

  private:
    test::NetNamespaces nets_;
    std::string server_ = "s", alice_ = "a", bob_ = "b";
};

std::string Sha256Of(const std::filesystem::path& path) {
    std::string command = "sha256sum '" + path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    char digest[65] = {};
    std::size_t got = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(digest, got);
}

void WriteRandomFile(const std::filesystem::path& path, std::size_t length) {
    std::mt19937_64 random(std::random_device{}());
    std::vector<std::uint64_t> words(length / 8);
    for (auto& word : words) {
        word = random();
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(length));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One peer: its working directory with config.txt and its shared directory.
struct PeerHome {
    PeerHome(const std::string& user) : user(user) {
        std::filesystem::create_directories(shared());
        std::ofstream config(dir.path() / "config.txt");
        config << "http://" << kServerAddress << ":8080/examples/servlet/brindlenet\n"
               << user << "\n"
               << shared().string() << "\nDSL,Cable\nsecret-" << user << "\n";
    }
    std::filesystem::path shared() const { return dir.path() / "shared"; }
    // Each peer has preferences of its own, never those of whoever runs the tests.
    std::vector<std::string> Program(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"env", "XDG_CONFIG_HOME=" + dir.str(), kPeerProgram});
        return arguments;
    }
    void WritePreferences(const std::string& text) const {
        dir.WriteFile("brindlenet/preferences.conf", text);
    }

    std::string user;
    TempDir dir;
};

class PeerEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(kDirectoryProgram).empty() || !std::filesystem::exists(kDirectoryProgram)) {
            GTEST_SKIP() << "end-to-end tests need the directory server brindlenet-directory, "
                            "which is not built";
        }
        std::string why;
        if (!lab.Build(why)) {
            GTEST_SKIP() << "end-to-end tests skipped: " << why;
        }
        directory = std::make_unique<Process>(
            lab.In(lab.server(), {kDirectoryProgram, "--port", "8080", "--bind", kServerAddress,
                                  "--db", (serverHome.path() / "directory.db").string()}),
            serverHome.path(), serverHome.path() / "server.out", serverHome.path() / "server.err");
        ASSERT_TRUE(WaitFor([&] { return Contains(directory->Err(), "listening on"); }, 20s))
            << directory->Err();
    }

    std::unique_ptr<Process> Serve(const PeerHome& home, const std::string& ns) {
        auto process =
            std::make_unique<Process>(lab.In(ns, home.Program({"serve"})), home.dir.path(),
                                      home.dir.path() / "serve.out", home.dir.path() / "serve.err");
        EXPECT_TRUE(
            WaitFor([&] { return Contains(process->Err(), "Registred with server!"); }, 20s))
            << process->Err();
        return process;
    }

    struct Result {
        int code;
        std::string out;
        std::string err;
    };
    // Runs one command of brindlenet-peer in a peer's namespace and home.
    Result Command(const PeerHome& home, const std::string& ns, std::vector<std::string> arguments,
                   std::chrono::milliseconds deadline = 60s) {
        Process process(lab.In(ns, home.Program(arguments)), home.dir.path(),
                        home.dir.path() / "command.out", home.dir.path() / "command.err");
        int code = process.Wait(deadline);
        return {code, process.Out(), process.Err()};
    }

    // Drops (or refuses, with `verdict` "reject with tcp reset") every
    // incoming connection to port 2000 in bob's namespace; why not, when
    // nftables cannot be used here.
    std::string WallOffBob(const std::string& verdict = "drop") {
        for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
                 {"nft", "add", "table", "inet", "wall"},
                 {"nft", "add", "chain", "inet", "wall", "in",
                  "{ type filter hook input priority 0 ; }"},
                 {"nft", "add", "rule", "inet", "wall", "in", "tcp", "dport", "2000", verdict}}) {
            Process rule(lab.In(lab.bob(), step), serverHome.path(), serverHome.path() / "nft.out",
                         serverHome.path() / "nft.err");
            if (rule.Wait(20s) != 0) {
                return rule.Err().empty() ? "nft failed" : rule.Err();
            }
        }
        return "";
    }
    // bob's serve, waiting at the directory for pushes and messages.
    std::unique_ptr<Process> ServeWaiting() {
        std::vector<std::string> serve = bob.Program({"serve"});
        serve.insert(serve.begin() + 2, "BRINDLENET_PUSH_WAIT=always");
        auto process =
            std::make_unique<Process>(lab.In(lab.bob(), serve), bob.dir.path(),
                                      bob.dir.path() / "serve.out", bob.dir.path() / "serve.err");
        EXPECT_TRUE(
            WaitFor([&] { return Contains(process->Err(), "Registred with server!"); }, 20s))
            << process->Err();
        return process;
    }

    std::vector<std::string> SharedNames(const PeerHome& home) const {
        return test::EntriesButKey(home.shared());
    }

    Lab lab;
    TempDir serverHome;
    std::unique_ptr<Process> directory;
    PeerHome alice{"alice"};
    PeerHome bob{"bob"};
};

TEST_F(PeerEndToEnd, SearchDownloadRefuseAndMessageBetweenTwoHosts) {
    WriteRandomFile(bob.shared() / "movie.bin", 64u << 20);
    std::ofstream(bob.shared() / "a..b.bin") << "full stops inside a name";
    std::ofstream(bob.shared() / "gone.bin") << "removed after it was published";
    auto bobServing = Serve(bob, lab.bob());
    auto aliceServing = Serve(alice, lab.alice());

    Result search = Command(alice, lab.alice(), {"search", "movie"});
    ASSERT_EQ(search.code, 0) << search.err;
    EXPECT_TRUE(Contains(search.out, "movie.bin")) << search.out;
    EXPECT_TRUE(Contains(search.out, "67108864")) << search.out;
    EXPECT_TRUE(Contains(search.out, kBobAddress)) << search.out;

    Result get = Command(alice, lab.alice(), {"get", "movie", "--pick", "1"});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_TRUE(Contains(get.out, "File Complete..."));
    EXPECT_EQ(Sha256Of(alice.shared() / "movie.bin"), Sha256Of(bob.shared() / "movie.bin"));
    EXPECT_EQ(Sha256Of(alice.shared() / "movie.bin").size(), 64u);
    EXPECT_TRUE(WaitFor(
        [&] {
            return Contains(
                bobServing->Err(),
                "upload movie.bin to bob: 67108864 of 67108864  100.00%  0.00ks  File Complete...");
        },
        10s))
        << bobServing->Err();

    // Full stops inside a name are no way out of the shared directory.
    Result dotted = Command(alice, lab.alice(), {"get", "a..b", "--pick", "1"});
    EXPECT_EQ(dotted.code, 0) << dotted.out << dotted.err;
    EXPECT_EQ(ReadWholeFile(alice.shared() / "a..b.bin"), "full stops inside a name");

    // A file the sharer can no longer open: the connection ends without a byte.
    std::filesystem::remove(bob.shared() / "gone.bin");
    Result refused = Command(alice, lab.alice(), {"get", "gone", "--pick", "1"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(Contains(refused.out, "Transfer Error...")) << refused.out << refused.err;
    EXPECT_EQ(SharedNames(alice), (std::vector<std::string>{"a..b.bin", "movie.bin"}));

    Result toBob = Command(alice, lab.alice(), {"send", "bob", "hello bob"});
    EXPECT_EQ(toBob.code, 0) << toBob.err;
    EXPECT_EQ(toBob.out, "<alice> hello bob\n");
    Result toAlice = Command(bob, lab.bob(), {"send", "alice", "hi alice"});
    EXPECT_EQ(toAlice.code, 0) << toAlice.err;
    EXPECT_TRUE(WaitFor([&] { return Contains(bobServing->Out(), "<alice> hello bob\n"); }));
    EXPECT_TRUE(WaitFor([&] { return Contains(aliceServing->Out(), "<bob> hi alice\n"); }));

    // The exit order unregisters: alice is then known but not logged in.
    aliceServing->Kill(SIGTERM);
    EXPECT_EQ(aliceServing->Wait(20s), 0) << aliceServing->Err();
    Result afterExit = Command(bob, lab.bob(), {"send", "alice", "are you there?"});
    EXPECT_EQ(afterExit.code, 1);
    EXPECT_TRUE(Contains(afterExit.err, "The user alice is currently not logged in."))
        << afterExit.err;
    bobServing->Kill(SIGINT);
    EXPECT_EQ(bobServing->Wait(20s), 0) << bobServing->Err();
}

// '+' in a shared file's name, in a query and in a user name reaches the
// server and the sharing peer as typed.
TEST_F(PeerEndToEnd, PlusSignsInANameAQueryAndAUserName) {
    PeerHome sharer("ann+lee");
    WriteRandomFile(sharer.shared() / "c++ notes.txt", 1u << 20);
    auto serving = Serve(sharer, lab.bob());

    Result search = Command(alice, lab.alice(), {"search", "c++"});
    ASSERT_EQ(search.code, 0) << search.err;
    EXPECT_TRUE(Contains(search.out, "1  c++ notes.txt  1048576    ann+lee")) << search.out;

    Result get = Command(alice, lab.alice(), {"get", "c++", "--pick", "1"});
    ASSERT_EQ(get.code, 0) << get.out << get.err;
    EXPECT_EQ(Sha256Of(alice.shared() / "c++ notes.txt"),
              Sha256Of(sharer.shared() / "c++ notes.txt"));
    EXPECT_EQ(Sha256Of(alice.shared() / "c++ notes.txt").size(), 64u);

    Result message = Command(alice, lab.alice(), {"send", "ann+lee", "hi"});
    EXPECT_EQ(message.code, 0) << message.err;
    EXPECT_TRUE(WaitFor([&] { return Contains(serving->Out(), "<alice> hi\n"); }));
}

TEST_F(PeerEndToEnd, ASharerKilledMidTransferLeavesTheOldFileAndNoPart) {
    WriteRandomFile(bob.shared() / "movie.bin", 64u << 20);
    std::ofstream(alice.shared() / "movie.bin") << "alice's own movie";
    ASSERT_TRUE(lab.SlowBobDown()) << "tc cannot limit the rate here";
    auto bobServing = Serve(bob, lab.bob());

    Process get(lab.In(lab.alice(), alice.Program({"get", "movie", "--pick", "1", "--overwrite"})),
                alice.dir.path(), alice.dir.path() / "get.out", alice.dir.path() / "get.err");
    // Wait until part of the file has arrived, then end the sharer at once.
    ASSERT_TRUE(WaitFor([&] { return Contains(bobServing->Err(), "Uploading..."); }, 30s))
        << bobServing->Err() << get.Err();
    bobServing->Kill(SIGKILL);
    EXPECT_EQ(get.Wait(60s), 1) << get.Err();
    EXPECT_TRUE(Contains(get.Out(), "Transfer Error...")) << get.Out();
    EXPECT_EQ(ReadWholeFile(alice.shared() / "movie.bin"), "alice's own movie");
    // What arrived may stay under its hidden name, to be continued later.
    EXPECT_EQ(test::VisibleEntries(alice.shared()), std::vector<std::string>{"movie.bin"});
}

// A get killed halfway and run again continues where it stopped: the file
// ends byte-exact and the sharer sent little more than the file once.
TEST_F(PeerEndToEnd, AGetKilledHalfwayContinuesWhereItStopped) {
    constexpr long long kLength = 256LL << 20;
    WriteRandomFile(bob.shared() / "movie.bin", kLength);
    ASSERT_TRUE(lab.PaceBob("800mbit")) << "tc cannot pace the link here";
    auto bobServing = Serve(bob, lab.bob());
    const long long sentBefore = lab.BobSentBytes();
    ASSERT_GE(sentBefore, 0);

    {
        Process get(lab.In(lab.alice(), alice.Program({"get", "movie", "--pick", "1"})),
                    alice.dir.path(), alice.dir.path() / "get1.out", alice.dir.path() / "get1.err");
        auto received = [&] {
            std::vector<std::string> parts = test::PartialEntries(alice.shared());
            std::error_code error;
            return parts.empty() ? 0
                                 : static_cast<long long>(std::filesystem::file_size(
                                       alice.shared() / parts.front(), error));
        };
        ASSERT_TRUE(WaitFor([&] { return received() >= kLength / 2; }, 60s)) << get.Err();
        get.Kill(SIGKILL);
        get.Wait(20s);
    }
    EXPECT_EQ(test::VisibleEntries(alice.shared()), std::vector<std::string>{});

    Result again = Command(alice, lab.alice(), {"get", "movie", "--pick", "1"}, 120s);
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_TRUE(Contains(again.err, "Resuming at ")) << again.err;
    EXPECT_EQ(Sha256Of(alice.shared() / "movie.bin"), Sha256Of(bob.shared() / "movie.bin"));
    EXPECT_EQ(test::EntriesButKey(alice.shared()), std::vector<std::string>{"movie.bin"});
    const long long sent = lab.BobSentBytes() - sentBefore;
    RecordProperty("bob_sent_bytes", std::to_string(sent));
    EXPECT_LE(sent, kLength + kLength / 10) << "bob sent " << sent << " bytes";
}

// Upload slots and limits come from preferences.conf when serve starts and
// again on SIGHUP, while uploads run; a download beyond the slots waits in
// line for the next; get --limit holds one download back.
TEST_F(PeerEndToEnd, ServeReadsItsPreferencesAgainOnSighup) {
    WriteRandomFile(bob.shared() / "movie.bin", 64u << 20);
    std::ofstream(bob.shared() / "note.txt") << "a short note";
    bob.WritePreferences("upload_slots = 1\ndownload_limit_kib = fast\n");
    auto bobServing = Serve(bob, lab.bob());
    EXPECT_TRUE(Contains(bobServing->Err(),
                         "/brindlenet/preferences.conf: line 2: "
                         "download_limit_kib must be 0 (no limit) to 4194304\n"))
        << bobServing->Err();
    EXPECT_TRUE(WaitFor([&] {
        return Contains(bobServing->Err(), "1 upload slots, no upload limit, no download limit");
    })) << bobServing->Err();

    // Held to 64 KiB/s, this download keeps bob's only upload slot.
    Process slow(
        lab.In(lab.alice(), alice.Program({"get", "movie", "--pick", "1", "--limit", "64"})),
        alice.dir.path(), alice.dir.path() / "slow.out", alice.dir.path() / "slow.err");
    ASSERT_TRUE(
        WaitFor([&] { return Contains(bobServing->Err(), "upload movie.bin to bob"); }, 30s))
        << bobServing->Err() << slow.Err();
    // A further download waits in bob's line, which serve counts.
    Process queued(lab.In(lab.alice(), alice.Program({"get", "note", "--pick", "1"})),
                   alice.dir.path(), alice.dir.path() / "queued.out",
                   alice.dir.path() / "queued.err");
    ASSERT_TRUE(WaitFor([&] { return Contains(queued.Err(), "Queued, position 1..."); }, 30s))
        << queued.Err();
    EXPECT_TRUE(WaitFor([&] {
        return Contains(bobServing->Err(), "brindlenet-peer: 1 waiting\n");
    })) << bobServing->Err();

    // A second slot goes to the one waiting.
    bob.WritePreferences("upload_slots = 2\n");
    bobServing->Kill(SIGHUP);
    ASSERT_TRUE(WaitFor([&] {
        return Contains(bobServing->Err(),
                        "preferences read again: 2 upload slots, no upload limit, "
                        "no download limit");
    })) << bobServing->Err();
    EXPECT_EQ(queued.Wait(30s), 0) << queued.Err();
    EXPECT_EQ(ReadWholeFile(alice.shared() / "note.txt"), "a short note");

    // The held-back download still runs, showing its rate and the time left.
    EXPECT_TRUE(slow.Running());
    EXPECT_TRUE(WaitFor([&] { return Contains(slow.Err(), " left  Downloading...\n"); }))
        << slow.Err();
    slow.Kill(SIGTERM);
    EXPECT_EQ(slow.Wait(20s), 1) << slow.Err();
    EXPECT_TRUE(Contains(slow.Out(), "Canceled...")) << slow.Out();
    bobServing->Kill(SIGTERM);
    EXPECT_EQ(bobServing->Wait(20s), 0) << bobServing->Err();
}

// The program itself, against an HTTPS directory whose certificate names another
// host: the console says why the server could not be reached.
// bob's host drops every incoming connection to port 2000: alice's download
// reaches him through a push, his waiting request at the directory.
TEST_F(PeerEndToEnd, AFirewalledSharerIsServedThroughAPush) {
    if (std::string why = WallOffBob(); !why.empty()) {
        GTEST_SKIP() << "nftables not usable here: " << why;
    }
    WriteRandomFile(bob.shared() / "walled.bin", 4u << 20);
    // alice registers once: the directory sends bob to the address it knows.
    {
        auto aliceServing = Serve(alice, lab.alice());
        aliceServing->Kill(SIGTERM);
        ASSERT_EQ(aliceServing->Wait(20s), 0) << aliceServing->Err();
    }
    auto waiting = ServeWaiting();
    Process& bobServing = *waiting;

    auto start = std::chrono::steady_clock::now();
    Result get = Command(alice, lab.alice(), {"get", "walled", "--pick", "1"});
    ASSERT_EQ(get.code, 0) << get.out << get.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 25s);
    EXPECT_EQ(Sha256Of(alice.shared() / "walled.bin"), Sha256Of(bob.shared() / "walled.bin"));
    EXPECT_EQ(Sha256Of(alice.shared() / "walled.bin").size(), 64u);
    bobServing.Kill(SIGTERM);
    EXPECT_EQ(bobServing.Wait(20s), 0) << bobServing.Err();
}

// A message to the firewalled bob goes through his waiting request; his
// reply reaches alice directly.
TEST_F(PeerEndToEnd, MessagesReachAFirewalledUserThroughTheDirectory) {
    if (std::string why = WallOffBob("reject with tcp reset"); !why.empty()) {
        GTEST_SKIP() << "nftables not usable here: " << why;
    }
    auto aliceServing = Serve(alice, lab.alice());
    auto bobServing = ServeWaiting();
    // The first message may come before bob's first request waits: the
    // directory then says so and alice sends again.
    Result toBob;
    ASSERT_TRUE(WaitFor(
        [&] {
            toBob = Command(alice, lab.alice(), {"send", "bob", "over the wall"}, 20s);
            return toBob.code == 0;
        },
        20s))
        << toBob.out << toBob.err;
    EXPECT_EQ(toBob.out, "<alice> over the wall\n");
    EXPECT_TRUE(WaitFor([&] { return Contains(bobServing->Out(), "<alice> over the wall\n"); }))
        << bobServing->Out() << bobServing->Err();
    Result toAlice = Command(bob, lab.bob(), {"send", "alice", "back at you"});
    EXPECT_EQ(toAlice.code, 0) << toAlice.err;
    EXPECT_TRUE(WaitFor([&] { return Contains(aliceServing->Out(), "<bob> back at you\n"); }));
    bobServing->Kill(SIGTERM);
    EXPECT_EQ(bobServing->Wait(20s), 0) << bobServing->Err();
}

TEST(PeerProgramOverTls, PrintsWhyTheCertificateWasRefused) {
    std::string error;
    const test::TestCertificates* certificates = test::TrustedTestCertificates(error);
    ASSERT_NE(certificates, nullptr) << error;
    test::TlsScriptedServer directory(certificates->wrongHost, test::HttpReply("0\n"));
    TempDir home;
    std::filesystem::create_directories(home.path() / "shared");
    home.WriteFile("config.txt", directory.url("localhost") + "\nann\n" +
                                     (home.path() / "shared").string() + "\nT1\npw\n");
    Process search({kPeerProgram, "search", "song"}, home.path(), home.path() / "out",
                   home.path() / "err");
    EXPECT_EQ(search.Wait(30s), 1);
    EXPECT_EQ(search.Err(),
              "brindlenet-peer: cannot connect to localhost:" + std::to_string(directory.port()) +
                  ": certificate is for another host\nUnabel to connect to localhost\n");
    EXPECT_TRUE(directory.requests().empty());
}

}  // namespace
}  // namespace brindle
