#include <gtest/gtest.h>

#include <sstream>

#include "base/settings.h"
#include "headless/headless_peer.h"
#include "headless/progress_line.h"
#include "peer/peer_fixture.h"
#include "support/fake_router.h"
#include "support/partial_downloads.h"
#include "support/scripted_server.h"
#include "support/tls_scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;

// Runs commands in-process against a scripted directory server, with a
// config.txt of their own and a loopback peer to fetch from.
class HeadlessCommandTest : public ::testing::Test {
  protected:
    void WriteConfig(const std::string& serverUrl) {
        AppSettings settings;
        settings.serverUrl = serverUrl;
        settings.userName = "me";
        settings.sharedDirectory = shared.str();
        settings.connection = "T1";
        settings.password = "pw";
        ASSERT_TRUE(WriteConfigFile(configPath(), settings));
    }
    std::string configPath() const { return home.str() + "/config.txt"; }
    std::string preferencesPath() const { return home.str() + "/preferences.conf"; }

    int Run(const std::vector<std::string>& arguments,
            const std::function<void(HeadlessEnvironment&)>& adjust = {}) {
        HeadlessCommand command;
        std::string error;
        EXPECT_TRUE(ParseHeadlessArguments(arguments, command, error)) << error;
        HeadlessEnvironment environment;
        environment.configPath = configPath();
        environment.preferencesPath = preferencesPath();
        environment.peer = test::LoopbackOptions();
        environment.peer.port = peerPort;
        environment.requestTimeouts = {2000ms, 2000ms};
        if (adjust) {
            adjust(environment);
        }
        Console console(out, err);
        return RunHeadless(command, environment, console);
    }

    test::TempDir home;
    test::TempDir shared;
    int peerPort = 0;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(HeadlessCommandTest, SearchPrintsANumberedTable) {
    test::HttpScriptedServer directory(test::HttpReply(
        "2\nmusic\\song.mp3\nann\nDSL,Cable\n3000\n10.0.0.7\nintro.mp3\nbob\nT1\n12\n10.0.0.8\n"));
    WriteConfig(directory.url());
    EXPECT_EQ(Run({"search", "song", "--ext", "*.mp3", "--max", "5"}), 0) << err.str();
    EXPECT_EQ(directory.LastBody(), "event=onSearch&qs=song&max=5&ext=*.mp3&userName=me");
    EXPECT_EQ(out.str(),
              "#  File Name       File Size  User  Connection  Address\n"
              "1  music\\song.mp3  3000       ann   DSL,Cable   10.0.0.7\n"
              "2  intro.mp3       12         bob   T1          10.0.0.8\n");
}

TEST_F(HeadlessCommandTest, AFailedSearchIsReportedAndFails) {
    WriteConfig("ftp://nowhere/x");
    EXPECT_EQ(Run({"search", "song"}), 1);
    EXPECT_NE(err.str().find("Bad server URL!"), std::string::npos);
}

TEST_F(HeadlessCommandTest, ASearchAnsweredWithAnErrorPageFails) {
    test::HttpScriptedServer directory(
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>Not Found</html>\n");
    WriteConfig(directory.url());
    EXPECT_EQ(Run({"search", "song"}), 1);
    EXPECT_EQ(err.str(), "Unable to read HTTP response headers!\n");
    EXPECT_EQ(out.str(), "");
}

TEST_F(HeadlessCommandTest, AnIncompleteConfigNamesTheFiveLines) {
    EXPECT_EQ(Run({"send", "bob", "hi"}), 1);
    for (const char* line :
         {"server URL", "user name", "shared directory", "connection type", "password"}) {
        EXPECT_NE(err.str().find(line), std::string::npos) << line;
    }
}

TEST_F(HeadlessCommandTest, GetDownloadsThePickedResultAndReplacesOnlyWhenAllowed) {
    test::PeerHarness sharer;
    ASSERT_TRUE(sharer.StartListener());
    const std::string content = test::PatternBytes(70000);
    sharer.Share("music\\song.mp3", content);
    peerPort = sharer.port();
    test::HttpScriptedServer directory(
        test::HttpReply("2\nintro.mp3\nbob\nT1\n12\n127.0.0.1\nmusic\\song.mp3\nann\nDSL,"
                        "Cable\n70000\n127.0.0.1\n"));
    WriteConfig(directory.url());
    shared.WriteFile("song.mp3", "mine");

    EXPECT_EQ(Run({"get", "song", "--pick", "2"}), 1);
    EXPECT_NE(err.str().find("song.mp3 already exists in the shared directory; add --overwrite"),
              std::string::npos);
    EXPECT_EQ(test::ReadWholeFile(shared.path() / "song.mp3"), "mine");

    EXPECT_EQ(Run({"get", "song", "--pick", "2", "--overwrite"}), 0) << err.str();
    EXPECT_EQ(test::ReadWholeFile(shared.path() / "song.mp3"), content);
    EXPECT_NE(out.str().find("File Complete..."), std::string::npos);

    EXPECT_EQ(Run({"get", "song", "--pick", "3"}), 1);
    EXPECT_NE(err.str().find("there is no result 3; the search found 2"), std::string::npos);
}

TEST_F(HeadlessCommandTest, GetTellsWhereItContinuesAKeptPartialFile) {
    test::PeerHarness sharer;
    ASSERT_TRUE(sharer.StartListener());
    const std::string content = test::PatternBytes(200000, 3);
    sharer.Share("music\\song.mp3", content);
    peerPort = sharer.port();
    test::HttpScriptedServer directory(
        test::HttpReply("1\nmusic\\song.mp3\nann\nDSL,Cable\n200000\n127.0.0.1\n"));
    WriteConfig(directory.url());
    test::WritePartialDownload(shared.path(), "ann", "music\\song.mp3", 200000,
                               content.substr(0, 100000));

    EXPECT_EQ(Run({"get", "song", "--pick", "1"}), 0) << err.str();
    EXPECT_NE(err.str().find("Resuming at 100000 bytes\n"), std::string::npos) << err.str();
    EXPECT_TRUE(test::ReadWholeFile(shared.path() / "song.mp3") == content);
    EXPECT_EQ(test::VisibleEntries(shared.path()), std::vector<std::string>{"song.mp3"});
    EXPECT_TRUE(test::PartialEntries(shared.path()).empty());
}

TEST_F(HeadlessCommandTest, GetFailsWhenTheTransferFails) {
    test::PeerHarness sharer;
    ASSERT_TRUE(sharer.StartListener());
    peerPort = sharer.port();
    test::HttpScriptedServer directory(test::HttpReply("1\nmissing.bin\nann\nT1\n10\n127.0.0.1\n"));
    WriteConfig(directory.url());
    EXPECT_EQ(Run({"get", "missing", "--pick", "1"}), 1);
    EXPECT_NE(out.str().find("Transfer Error..."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(shared.path() / "missing.bin"));
}

TEST_F(HeadlessCommandTest, SendPrintsTheLineOrTheFailure) {
    test::PeerHarness recipient;
    ASSERT_TRUE(recipient.StartListener());
    peerPort = recipient.port();
    {
        test::HttpScriptedServer directory(test::HttpReply("127.0.0.1\n"));
        WriteConfig(directory.url());
        EXPECT_EQ(Run({"send", "bob", "hello bob"}), 0) << err.str();
        EXPECT_EQ(out.str(), "<me> hello bob\n");
        ASSERT_TRUE(test::WaitFor([&] { return recipient.display.count() == 1; }));
        EXPECT_EQ(recipient.display.lines()[0], "<me> hello bob\n");
    }
    test::HttpScriptedServer directory(test::HttpReply("NOT-LOGGED-IN\n"));
    WriteConfig(directory.url());
    EXPECT_EQ(Run({"send", "bob", "again"}), 1);
    EXPECT_NE(err.str().find("The user bob is currently not logged in."), std::string::npos);
}

TEST_F(HeadlessCommandTest, ARefusedCertificateIsExplained) {
    std::string error;
    const test::TestCertificates* certificates = test::TrustedTestCertificates(error);
    ASSERT_NE(certificates, nullptr) << error;
    const std::string reply = test::HttpReply("1\nsong.mp3\nann\nT1\n3000\n10.0.0.7\n");
    struct Case {
        test::CertificatePair certificate;
        std::vector<std::string> command;
        std::string reason;
        std::string message;
    };
    for (const Case& c : {Case{certificates->expired,
                               {"search", "song"},
                               "certificate has expired",
                               "Unabel to connect to localhost\n"},
                          Case{certificates->unknownAuthority,
                               {"send", "bob", "hi"},
                               "certificate signed by an unknown authority",
                               "Unable to lookup user bob's IP address.\n"}}) {
        SCOPED_TRACE(c.reason);
        err.str("");
        test::TlsScriptedServer directory(c.certificate, reply);
        WriteConfig(directory.url("localhost"));
        EXPECT_EQ(Run(c.command), 1);
        EXPECT_EQ(err.str(), "brindlenet-peer: cannot connect to localhost:" +
                                 std::to_string(directory.port()) + ": " + c.reason + "\n" +
                                 c.message);
        EXPECT_TRUE(directory.requests().empty());
    }
}

TEST_F(HeadlessCommandTest, GetReadsThePreferencesAndNamesTheLinesItCannotUse) {
    test::PeerHarness sharer;
    ASSERT_TRUE(sharer.StartListener());
    const std::string content = test::PatternBytes(70000);
    sharer.Share("song.mp3", content);
    peerPort = sharer.port();
    test::HttpScriptedServer directory(
        test::HttpReply("1\nsong.mp3\nann\nDSL,Cable\n70000\n127.0.0.1\n"));
    WriteConfig(directory.url());
    home.WriteFile("preferences.conf", "# limits\nupload_slots = 0\ndownload_limit_kib = 100000\n");

    EXPECT_EQ(Run({"get", "song", "--pick", "1", "--limit", "100000"}), 0) << err.str();
    EXPECT_TRUE(test::ReadWholeFile(shared.path() / "song.mp3") == content);
    EXPECT_NE(err.str().find("brindlenet-peer: " + preferencesPath() +
                             ": line 2: upload_slots must be 1 to 64\n"),
              std::string::npos)
        << err.str();
}

TEST(ServeReachabilityLine, SaysYesNoOrUnknown) {
    MappingSnapshot upnp;
    upnp.state = MappingState::Mapped;
    upnp.method = MappingMethod::Upnp;
    upnp.externalAddress = "203.0.113.7";
    MappingSnapshot v6 = upnp;
    v6.method = MappingMethod::NatPmp;
    v6.externalAddress = "2001:db8::7";
    MappingSnapshot noAddress = upnp;
    noAddress.externalAddress.clear();
    MappingSnapshot none;
    none.state = MappingState::NoRouter;
    const struct {
        MappingSnapshot mapping;
        std::optional<ReachAnswer> probe;
        const char* line;
    } cases[] = {
        {upnp, ReachAnswer::Reachable, "reachable: yes (UPnP, 203.0.113.7:2000)"},
        {v6, ReachAnswer::Reachable, "reachable: yes (NAT-PMP, [2001:db8::7]:2000)"},
        {noAddress, ReachAnswer::Reachable, "reachable: yes (UPnP, port 2000)"},
        {none, ReachAnswer::Reachable, "reachable: yes (port 2000)"},
        {none, ReachAnswer::Unreachable, "reachable: no (no router answered NAT-PMP or UPnP)"},
        {upnp, std::nullopt, "reachable: unknown"},
        {upnp, ReachAnswer::Unknown, "reachable: unknown"},
        {none, ReachAnswer::BadPassword, "reachable: unknown"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ServeReachabilityLine(CombineReachability(c.mapping, c.probe, 2000)), c.line);
    }
}

// serve prints the status when it starts and again when it changes; the
// mapping is removed when it stops.
TEST_F(HeadlessCommandTest, ServePrintsReachabilityWhenItChanges) {
    test::HttpScriptedServer directory(std::vector<std::string>{
        test::HttpReply("OK\n"), test::HttpReply("REACHABLE\n"), test::HttpReply("OK\n")});
    WriteConfig(directory.url());
    test::FakeMappingProtocol::Log log;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    const int code = Run({"serve"}, [&](HeadlessEnvironment& environment) {
        environment.reachability.enabled = true;
        environment.reachability.protocols = [&log] {
            std::vector<std::unique_ptr<IMappingProtocol>> protocols;
            protocols.push_back(std::make_unique<test::FakeMappingProtocol>(
                MappingMethod::NatPmp,
                std::vector<MappingAttempt>{test::MappedAnswer("203.0.113.7", 3600s)}, log));
            return protocols;
        };
        // Stops once the reachable line is out (or the deadline passed).
        environment.waitForStop = [&, seen = 0](std::chrono::milliseconds) mutable {
            if (err.str().find("reachable: yes") != std::string::npos) {
                return ++seen > 1;
            }
            return !test::WaitFor([] { return false; }, 20ms) &&
                   std::chrono::steady_clock::now() > deadline;
        };
    });
    EXPECT_EQ(code, 0) << err.str();
    const std::string printed = err.str();
    const auto unknown = printed.find("brindlenet-peer: reachable: unknown\n");
    const auto yes = printed.find("brindlenet-peer: reachable: yes (NAT-PMP, 203.0.113.7:");
    ASSERT_NE(yes, std::string::npos) << printed;
    // A fast mapping may be known before the first line is printed.
    if (unknown != std::string::npos) {
        EXPECT_LT(unknown, yes);
    }
    EXPECT_EQ(printed.find("reachable: yes", printed.find('\n', yes)), std::string::npos)
        << "printed twice";
    EXPECT_EQ(log.Get().back().rfind("NAT-PMP unmap ", 0), 0u);
}

TEST(ProgressLine, ShowsTheRateAndTheTimeLeftWhileBytesMove) {
    TransferRow row = NewTransferRow("song.mp3", "ann", "T1", 3LL << 20);
    row.status = TransferStatus::Downloading;
    row.done = 1LL << 20;
    row.percent = 33.33;
    row.rateKiBps = 512.0;
    EXPECT_EQ(ProgressLine(row),
              "[##########....................]  33.33%  1048576 of 3145728  "
              "512.00ks  0:04 left  Downloading...");
    row.rateKiBps = 0.0;
    EXPECT_NE(ProgressLine(row).find("  0.00ks  -:-- left  Downloading..."), std::string::npos);
    row.rateKiBps = 0.5;  // 2 GiB to go at half a KiB a second
    row.total = 2LL << 30;
    EXPECT_NE(ProgressLine(row).find("  0.50ks  >99:59:59 left  "), std::string::npos)
        << ProgressLine(row);
    row.rateKiBps = 1.0;
    row.total = (1LL << 20) + 3700 * 1024;
    EXPECT_NE(ProgressLine(row).find("  1:01:40 left  "), std::string::npos) << ProgressLine(row);
    // A finished row says nothing of time.
    row.status = TransferStatus::Complete;
    EXPECT_EQ(ProgressLine(row).find("left"), std::string::npos);
}

TEST(ProgressLine, AQueuedDownloadShowsItsPositionAndNoTime) {
    TransferRow row = NewTransferRow("song.mp3", "ann", "T1", 3LL << 20);
    row.status = TransferStatus::Queued;
    row.queuePosition = 3;
    EXPECT_EQ(ProgressLine(row),
              "[..............................]  0.00%  0 of 3145728  0.00ks  "
              "Queued, position 3...");
}

}  // namespace
}  // namespace brindle
