#include "app/share_app.h"

#include <gtest/gtest.h>

#include <fstream>
#include <utility>

#include "app/app_commands.h"
#include "peer/peer_fixture.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::FakeConfigDialog;
using test::FakeMessageBox;
using test::HttpReply;
using test::HttpScriptedServer;
using test::TempDir;

// A copy of the application wired to fakes, a sandbox and a scripted server.
struct AppFixture {
    explicit AppFixture(std::string reply = HttpReply("OK\n"))
        : server(std::move(reply)),
          app(UiPorts{&messages, nullptr, &dialog}, (dir.path() / "config.txt").string()) {
        app.SetRequestTimeouts(RequestTimeouts{std::chrono::seconds(2), std::chrono::seconds(2)});
        std::filesystem::create_directories(share());
    }
    std::filesystem::path share() const { return dir.path() / "share"; }
    std::string configPath() const { return (dir.path() / "config.txt").string(); }
    void WriteConfig(const std::string& text) const { dir.WriteFile("config.txt", text); }
    std::string Config() const { return test::ReadWholeFile(configPath()); }
    int Requests(const std::string& event) const {
        int n = 0;
        for (const auto& r : server.requests()) {
            n += r.find("event=" + event + "&") != std::string::npos;
        }
        return n;
    }
    // OK pressed with a full set of values.
    FakeConfigDialog::Step Fill(std::string sharedDir) const {
        std::string url = server.url();
        return {true, [=](AppSettings& v) { v = AppSettings{sharedDir, url, "ann", "T1", "pw"}; }};
    }

    TempDir dir;
    FakeMessageBox messages;
    FakeConfigDialog dialog;
    HttpScriptedServer server;
    CShareApp app;
};

TEST(StartUp, MissingConfigOpensTheDialogAndRegistersOnce) {
    AppFixture f;
    f.dir.WriteFile("share/a.mp3", "abc");
    f.dialog.Script({{false, nullptr}, f.Fill(f.share().string())});

    f.app.BeginStartUp();
    EXPECT_TRUE(f.app.LoadSettingsAndRegister());

    ASSERT_EQ(f.dialog.shown(), 2);  // Esc on first use shows the dialog again
    AppSettings firstShowing = f.dialog.openedWith()[0];
    EXPECT_EQ(firstShowing, (AppSettings{"", kDefaultServerUrl, "", "", ""}));
    EXPECT_EQ(f.Requests("onRegisterUser"), 1);
    EXPECT_TRUE(f.app.registered());
    EXPECT_EQ(f.messages.texts(), std::vector<std::string>{"Registred with server!"});
    // Saved with the normalised directory and its trailing separator.
    EXPECT_EQ(f.Config(), f.server.url() + "\nann\n" + f.share().string() + "/\nT1\npw\n");
    ASSERT_EQ(f.app.sharedFiles()->size(), 1u);
}

TEST(StartUp, IncompleteConfigClearsEverythingBeforeTheDialog) {
    AppFixture f;
    f.WriteConfig("http://elsewhere/x\n\n/s\nT1\npw\n");
    f.dialog.Script({f.Fill(f.share().string())});
    f.app.LoadSettingsAndRegister();
    ASSERT_EQ(f.dialog.shown(), 1);
    EXPECT_EQ(f.dialog.openedWith()[0], (AppSettings{"", kDefaultServerUrl, "", "", ""}));
    EXPECT_EQ(f.Requests("onRegisterUser"), 1);
}

TEST(StartUp, CompleteConfigRegistersOnceAndLeavesTheFileAlone) {
    AppFixture f;
    std::string text = f.server.url() + "\nann\n" + f.share().string() + "\nT1\npw\n";
    f.WriteConfig(text);
    f.app.BeginStartUp();
    EXPECT_TRUE(f.app.LoadSettingsAndRegister());
    EXPECT_EQ(f.dialog.shown(), 0);
    EXPECT_EQ(f.Requests("onRegisterUser"), 1);
    EXPECT_EQ(f.app.settings()->sharedDirectory, f.share().string() + "/");
    EXPECT_EQ(f.Config(), text);
}

TEST(StartUp, BadSharedDirectoryIsReportedAndRegistrationStillRuns) {
    AppFixture f;
    std::string text = f.server.url() + "\nann\n/no/such/dir\nT1\npw\n";
    f.WriteConfig(text);
    f.app.LoadSettingsAndRegister();
    auto shown = f.messages.shown();
    ASSERT_GE(shown.size(), 1u);
    EXPECT_EQ(shown[0],
              (FakeMessageBox::Shown{"Bad shared directory in configuration!", MessageIcon::None}));
    EXPECT_EQ(f.Requests("onRegisterUser"), 1);
    EXPECT_TRUE(f.app.sharedFiles()->empty());
    EXPECT_EQ(f.Config(), text);
}

TEST(StartUp, FailedRegistrationIsReported) {
    AppFixture f(HttpReply("OK\r\n"));
    f.WriteConfig(f.server.url() + "\nann\n" + f.share().string() + "\nT1\npw\n");
    f.app.LoadSettingsAndRegister();
    std::vector<FakeMessageBox::Shown> expected{
        {"Unable to register with server!", MessageIcon::Error}};
    EXPECT_EQ(f.messages.shown(), expected);
    EXPECT_FALSE(f.app.registered());
    EXPECT_TRUE(f.app.registrationAttempted());
}

TEST(StartUp, WithoutADialogAnIncompleteConfigIsLeftUntouched) {
    AppFixture f;
    CShareApp headless(UiPorts{&f.messages, nullptr, nullptr}, f.configPath());
    f.WriteConfig("u\nn\n");
    EXPECT_FALSE(headless.LoadSettingsAndRegister());
    EXPECT_EQ(f.Config(), "u\nn\n");
    EXPECT_EQ(f.Requests("onRegisterUser"), 0);
}

TEST(EditSettings, ShowsTheDialogAgainUntilValuesAreCompleteAndScannable) {
    AppFixture f;
    std::string url = f.server.url();
    std::string share = f.share().string();
    f.dialog.Script({
        {true, [](AppSettings& v) { v.userName = "ann"; }},  // still empty fields
        {true,
         [&](AppSettings& v) {
             v = AppSettings{"/no/such/dir", url, "ann", "T1", "pw"};
         }},
        {false, nullptr},  // Esc: the directory stays empty, so the dialog returns
        {true, [&](AppSettings& v) { v.sharedDirectory = share; }},
    });
    f.app.EditSettings();
    ASSERT_EQ(f.dialog.shown(), 4);
    EXPECT_EQ(f.dialog.openedWith()[2].sharedDirectory, "");
    EXPECT_EQ(f.dialog.openedWith()[2].userName, "ann");
    EXPECT_EQ(f.messages.shown()[0],
              (FakeMessageBox::Shown{"Bad directory name!", MessageIcon::Error}));
    EXPECT_EQ(f.Requests("onRegisterUser"), 1);
    // EditSettings itself does not save.
    EXPECT_FALSE(std::filesystem::exists(f.configPath()));
}

// Runs a step once, when the next progress window opens. The rescan opens its
// window after the dialog's values have become the settings and before the new
// list exists.
class HookedProgress : public NullProgressFactory {
  public:
    std::function<void()> onNextOpen;
    std::unique_ptr<IProgressWindow> OpenProgress() override {
        if (auto step = std::exchange(onNextOpen, nullptr)) {
            step();
        }
        return NullProgressFactory::OpenProgress();
    }
};

std::string FetchFromPeer(int port, const std::string& name) {
    Socket socket = test::ConnectLoopback(port);
    if (!socket || !SendAll(socket.fd(), "GET\n" + name + "\nbob\nT1\n")) {
        return "<no connection>";
    }
    return test::ReadUntilClosed(socket.fd());
}

TEST(EditSettings, AnUploadDuringTheRescanServesTheFolderItsListCameFrom) {
    AppFixture f;
    const std::string oldBytes = "bytes of the old folder";
    const std::string newBytes = "BYTES OF THE NEW FOLDER, a longer file";
    f.dir.WriteFile("share/same.txt", oldBytes);
    f.dir.WriteFile("other/same.txt", newBytes);
    HookedProgress progress;
    CShareApp app(UiPorts{&f.messages, &progress, &f.dialog}, f.configPath());
    f.dialog.Script({f.Fill(f.share().string()), f.Fill((f.dir.path() / "other").string())});
    app.EditSettings();
    test::RecordingDisplay display;
    ASSERT_TRUE(StartPeerListener(app, display, test::LoopbackOptions()));
    const int port = app.peerListener()->port();

    std::string duringRescan = "<not fetched>";
    progress.onNextOpen = [&] { duringRescan = FetchFromPeer(port, "same.txt"); };
    app.EditSettings();
    EXPECT_EQ(duringRescan, oldBytes);
    EXPECT_EQ(FetchFromPeer(port, "same.txt"), newBytes);
}

TEST(EditSettings, RefusedPasswordGivesTwoMessagesAndNoSecondDialog) {
    AppFixture f(HttpReply("BAD-PASSWORD\n"));
    f.dialog.Script({f.Fill(f.share().string())});
    f.app.EditSettings();
    EXPECT_EQ(f.dialog.shown(), 1);
    EXPECT_EQ(f.messages.shown(), (std::vector<FakeMessageBox::Shown>{
                                      {"Bad password for that username!", MessageIcon::Error},
                                      {"Unable to register with server!", MessageIcon::Error}}));
}

TEST(SaveSettings, UnwritableFileIsReportedAndSettingsStay) {
    TempDir dir;
    FakeMessageBox messages;
    CShareApp app(UiPorts{&messages, nullptr, nullptr},
                  (dir.path() / "missing" / "config.txt").string());
    app.SetSettings(AppSettings{"/s/", "http://h/p", "ann", "T1", "pw"});
    app.SaveSettings();
    std::vector<FakeMessageBox::Shown> expected{
        {"Unable to open config file for writing.", MessageIcon::Error}};
    EXPECT_EQ(messages.shown(), expected);
    EXPECT_EQ(app.settings()->userName, "ann");
}

constexpr char kOldConfig[] = "http://h/p\nann\n/old/\nT1\npw\n";

// A save that cannot complete leaves the old config.txt byte for byte, leaves
// nothing else beside it, keeps the new values in memory and tells the user.
void ExpectFailedSaveKeptTheOldFile(const std::filesystem::path& folder,
                                    const std::vector<std::string>& entries,
                                    const std::function<void(CShareApp&)>& save) {
    FakeMessageBox messages;
    CShareApp app(UiPorts{&messages, nullptr, nullptr}, (folder / "config.txt").string());
    AppSettings values{std::string(1000, 's'), "http://h/" + std::string(1000, 'u'),
                       std::string(1000, 'n'), std::string(1000, 'c'), std::string(1000, 'p')};
    app.SetSettings(values);
    save(app);
    EXPECT_EQ(messages.shown(),
              (std::vector<FakeMessageBox::Shown>{
                  {"Unable to open config file for writing.", MessageIcon::Error}}));
    EXPECT_EQ(test::ReadWholeFile(folder / "config.txt"), kOldConfig);
    EXPECT_EQ(test::DirectoryEntries(folder), entries);
    EXPECT_EQ(*app.settings(), values);
}

TEST(SaveSettings, AFullDiskKeepsTheOldFileWhole) {
    TempDir mountPoint;
    const auto folder = mountPoint.path();
    bool mounted = test::RunOnSmallDisk(folder, 64 * 1024, [&] {
        std::ofstream(folder / "config.txt") << kOldConfig;
        test::FillDisk(folder / "filler");
        // The new values need more room than the old file took.
        ExpectFailedSaveKeptTheOldFile(folder, {"config.txt", "filler"},
                                       [](CShareApp& app) { app.SaveSettings(); });
    });
    if (!mounted) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
}

TEST(SaveSettings, AReadOnlyFileIsReportedAndLeftAlone) {
    TempDir dir;
    dir.WriteFile("config.txt", kOldConfig);
    std::filesystem::permissions(dir.path() / "config.txt", std::filesystem::perms::owner_read);
    ExpectFailedSaveKeptTheOldFile(dir.path(), {"config.txt"}, [](CShareApp& app) {
        test::RunWithoutPermissionOverride([&] { app.SaveSettings(); });
    });
}

TEST(Exit, UnregistersBeforeClosingTheListener) {
    AppFixture f;
    f.app.SetSettings(AppSettings{f.share().string(), f.server.url(), "ann lee", "T1", "p w"});
    int requestsWhenClosed = -1;
    f.app.SetCloseListener([&] { requestsWhenClosed = f.Requests("onUnregisterUser"); });
    f.app.ExitApplication();
    EXPECT_EQ(requestsWhenClosed, 1);
    EXPECT_EQ(f.server.LastBody(), "event=onUnregisterUser&userName=ann+lee&password=p+w");
    EXPECT_TRUE(f.messages.shown().empty());
}

// The slots and rate limits of preferences.conf reach the transfers the
// application starts as soon as they are loaded or saved.
TEST(TransferPreferences, LoadingAndSavingApplyTheSlotsAndLimitsAtOnce) {
    TempDir dir;
    FakeMessageBox messages;
    CShareApp app(UiPorts{&messages, nullptr, nullptr}, (dir.path() / "config.txt").string(),
                  (dir.path() / "preferences.conf").string());
    TransferLimits& limits = *app.transferLimits();
    EXPECT_EQ(limits.uploadSlots(), kDefaultUploadSlots);
    EXPECT_FALSE(limits.uploads().limited());
    EXPECT_FALSE(limits.downloads().limited());

    dir.WriteFile("preferences.conf",
                  "upload_slots = 3\nupload_limit_kib = 100\ndownload_limit_kib = 7\n");
    EXPECT_TRUE(app.LoadPreferences().empty());
    EXPECT_EQ(limits.uploadSlots(), 3u);
    EXPECT_EQ(limits.uploads().rate(), 100 * 1024);
    EXPECT_EQ(limits.downloads().rate(), 7 * 1024);

    // The listener the application starts follows the slots saved later.
    std::filesystem::create_directories(dir.path() / "share");
    dir.WriteFile("share/big.bin", std::string(16 << 20, 'b'));
    dir.WriteFile("share/song.mp3", "0123456789");
    app.SetSettings(
        AppSettings{(dir.path() / "share").string(), "http://127.0.0.1:1/x", "ann", "T1", "pw"});
    ASSERT_TRUE(app.RescanSharedFiles());
    test::RecordingDisplay display;
    ASSERT_TRUE(StartPeerListener(app, display, test::LoopbackOptions()));
    ASSERT_TRUE(app.SavePreferences(Preferences{.uploadSlots = 1}));
    EXPECT_EQ(limits.uploadSlots(), 1u);
    EXPECT_FALSE(limits.uploads().limited());
    EXPECT_FALSE(limits.downloads().limited());

    const int port = app.peerListener()->port();
    Socket reader = test::OpenStalledReader(port, "GET\nbig.bin\nbob\nT1\n");
    ASSERT_EQ(test::WaitForReply(reader.fd(), std::chrono::seconds(10)), test::PeerReply::Data);
    Socket second = test::ConnectLoopback(port);
    ASSERT_TRUE(SendAll(second.fd(), "GET\nsong.mp3\nbob\nT1\n"));
    EXPECT_EQ(test::ReadUntilClosed(second.fd()), "");
    app.peerListener()->Stop();
}

}  // namespace
}  // namespace brindle
