#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <filesystem>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "app/share_app.h"
#include "net/socket.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "ui/config_dialog.h"
#include "ui/main_window.h"
#include "ui/splash_screen.h"
#include "ui/system_tray.h"
#include "ui/termination_signals.h"
#include "ui/window_app.h"
#include "ui_test_support.h"

namespace brindle::test {
namespace {

// A socket listening on every interface, so nobody else can bind its port.
Socket TakeAPort(int* port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.fd(), 1) != 0 ||
        ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Socket();
    }
    *port = ntohs(address.sin_port);
    return socket;
}

bool SplashVisible() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<CSplashScreen*>(widget) != nullptr && widget->isVisible()) {
            return true;
        }
    }
    return false;
}

// No config.txt and port taken: the window comes up, the splash goes, then the
// bind failure is shown, then the configuration dialog; after it the program
// registers once and runs on.
TEST(WindowAppTest, FirstStartWithThePortTaken) {
    TempDir dir;
    dir.WriteFile("share/a.txt", "a");
    HttpScriptedServer server(HttpReply("OK\n"));
    int port = 0;
    Socket taken = TakeAPort(&port);
    ASSERT_TRUE(taken.valid());

    WindowAppOptions options;
    options.configPath = (dir.path() / "config.txt").string();
    options.preferencesPath = (dir.path() / "preferences.conf").string();
    options.splashWait = std::chrono::milliseconds(50);
    options.peerOptions.port = port;
    CWindowApp windowApp(options);

    std::vector<std::string> seen;
    ModalScript script({
        [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.push_back(box->text().toStdString());
            EXPECT_FALSE(SplashVisible());
            EXPECT_TRUE(windowApp.window() != nullptr && windowApp.window()->isVisible());
            box->accept();
        },
        [&](QWidget* modal) {
            auto* dialog = qobject_cast<CConfigDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            seen.push_back("dialog");
            EXPECT_FALSE(SplashVisible());
            EXPECT_EQ(dialog->parentWidget(), windowApp.window());
            dialog->serverUrlEdit()->setText(QString::fromStdString(server.url()));
            dialog->userNameEdit()->setText("ann");
            dialog->passwordEdit()->setText("pw");
            dialog->sharedDirectoryEdit()->setText(
                QString::fromStdString((dir.path() / "share").string()));
            dialog->connectionCombo()->setEditText("T1");
            dialog->okButton()->click();
        },
        [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.push_back(box->text().toStdString());
            box->accept();
        },
    });
    windowApp.StartUp();

    EXPECT_EQ(seen, std::vector<std::string>(
                        {"Error binding server socket!", "dialog", "Registred with server!"}));
    EXPECT_EQ(server.requests().size(), 1u);  // registered once, from the dialog
    EXPECT_TRUE(windowApp.app().registered());
    EXPECT_TRUE(windowApp.window()->isVisible());
    EXPECT_EQ(windowApp.window()->windowTitle(), "Brindlenet V1.0");
}

// How an exit is asked for while the program runs.
enum class ExitWay {
    FileExitMinimised,
    TrayExitHidden,
    TrayExitOverAMessageBox,
    Sigterm,
    SessionEnd
};

struct ExitCase {
    const char* name;
    ExitWay way;
};

// A program run against a scripted directory server, on a loopback port of its
// own. A watchdog ends a run that does not end by itself: it answers whatever
// dialog is up and then leaves the event loop with code 99.
class ProgramRun {
  public:
    explicit ProgramRun(bool withConfig) {
        dir.WriteFile("share/a.txt", "a");
        if (withConfig) {
            dir.WriteFile("config.txt", server.url() + "\nann\n" + Share() + "\nT1\npw\n");
        }
        WindowAppOptions options;
        options.configPath = ConfigPath();
        options.preferencesPath = PreferencesPath();
        options.splashWait = std::chrono::milliseconds(20);
        options.peerOptions.port = 0;
        options.peerOptions.listenAddress = "127.0.0.1";
        windowApp = std::make_unique<CWindowApp>(options);
        QObject::connect(&watchdog, &QTimer::timeout, [this] { Unstick(); });
        watchdog.setInterval(50);
        QTimer::singleShot(5000, &watchdog, [this] { watchdog.start(); });
    }

    std::string Share() const { return (dir.path() / "share").string(); }
    std::string ConfigPath() const { return (dir.path() / "config.txt").string(); }
    std::string PreferencesPath() const { return (dir.path() / "preferences.conf").string(); }
    int Unregistrations() const {
        int count = 0;
        for (const std::string& request : server.requests()) {
            count += request.find("event=onUnregisterUser") != std::string::npos ? 1 : 0;
        }
        return count;
    }

    // Calls `action` once Run's event loop runs with no dialog open (a dialog's
    // own loop would be level 2).
    void WhenRunning(std::function<void()> action) {
        QObject::connect(&poll, &QTimer::timeout, [this, action] {
            if (windowApp->running() && QThread::currentThread()->loopLevel() == 1 &&
                QApplication::activeModalWidget() == nullptr) {
                poll.stop();
                action();
            }
        });
        poll.start(5);
    }

    TempDir dir;
    HttpScriptedServer server{HttpReply("OK\n")};
    std::unique_ptr<CWindowApp> windowApp;
    QTimer poll;
    QTimer watchdog;

  private:
    void Unstick() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<CConfigDialog*>(modal)) {
            dialog->serverUrlEdit()->setText(QString::fromStdString(server.url()));
            dialog->userNameEdit()->setText("ann");
            dialog->passwordEdit()->setText("pw");
            dialog->sharedDirectoryEdit()->setText(QString::fromStdString(Share()));
            dialog->connectionCombo()->setEditText("T1");
            dialog->okButton()->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->accept();
        } else if (modal == nullptr && QThread::currentThread()->loopLevel() == 1) {
            QCoreApplication::exit(99);
        }
    }
};

class ExitTest : public ::testing::TestWithParam<ExitCase> {};

// Whatever the window's state and however the exit is asked for, the event
// loop ends at once, and the user is unregistered exactly once (the end of the
// loop itself would unregister too).
TEST_P(ExitTest, TheProgramEndsPromptlyAndUnregistersOnce) {
    ProgramRun run(true);
    CWindowApp& windowApp = *run.windowApp;
    QElapsedTimer sinceExit;
    auto exit = [&] {
        sinceExit.start();
        CMainWindow* window = windowApp.window();
        switch (GetParam().way) {
            case ExitWay::FileExitMinimised:
                window->showMinimized();
                window->exitAction()->trigger();  // File, Exit
                break;
            case ExitWay::TrayExitHidden:
            case ExitWay::TrayExitOverAMessageBox:
                emit window->trayIcon()->exitRequested();
                break;
            case ExitWay::Sigterm:
                std::raise(SIGTERM);
                break;
            case ExitWay::SessionEnd:
                QCoreApplication::quit();  // as the session manager's quit request
                break;
        }
    };
    ModalScript script({
        [&](QWidget* modal) {  // "Registred with server!" at start-up
            ASSERT_NE(qobject_cast<QMessageBox*>(modal), nullptr);
            qobject_cast<QMessageBox*>(modal)->accept();
        },
        [&](QWidget*) { exit(); },  // the box opened below: left open
    });
    run.WhenRunning([&] {
        if (GetParam().way == ExitWay::TrayExitHidden) {
            windowApp.window()->hide();
        }
        if (GetParam().way == ExitWay::TrayExitOverAMessageBox) {
            windowApp.messageBox().ShowMessage("Hello", MessageIcon::None);
        } else {
            exit();
        }
    });

    EXPECT_EQ(windowApp.Run(), 0);
    ASSERT_TRUE(sinceExit.isValid());
    EXPECT_LT(sinceExit.elapsed(), 2000);
    EXPECT_TRUE(windowApp.exitRequested());
    EXPECT_EQ(run.Unregistrations(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ExitTest,
    ::testing::Values(ExitCase{"FileExitMinimised", ExitWay::FileExitMinimised},
                      ExitCase{"TrayExitHidden", ExitWay::TrayExitHidden},
                      ExitCase{"TrayExitOverAMessageBox", ExitWay::TrayExitOverAMessageBox},
                      ExitCase{"Sigterm", ExitWay::Sigterm},
                      ExitCase{"SessionEnd", ExitWay::SessionEnd}),
    [](const auto& info) { return std::string(info.param.name); });

// The first-use dialog has no Cancel: Exit closes it and it does not come back;
// nothing is saved or registered.
TEST(ExitTest, ExitFromTheFirstUseDialogEndsStartUp) {
    ProgramRun run(false);
    CWindowApp& windowApp = *run.windowApp;
    int dialogs = 0;
    QElapsedTimer sinceExit;
    ModalScript script({[&](QWidget* modal) {
        ASSERT_NE(qobject_cast<CConfigDialog*>(modal), nullptr);
        ++dialogs;
        sinceExit.start();
        emit windowApp.window()->trayIcon()->exitRequested();
    }});

    EXPECT_EQ(windowApp.Run(), 0);
    EXPECT_EQ(dialogs, 1);
    ASSERT_TRUE(sinceExit.isValid());
    EXPECT_LT(sinceExit.elapsed(), 2000);
    EXPECT_EQ(script.pending(), 0u);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(run.ConfigPath()));
    EXPECT_TRUE(run.server.requests().empty());
}

// Exit during start-up has no event loop of Run's to leave; it must not end
// the loops of dialogs, or every modal box opened later would close at once.
TEST(ExitTest, ExitFromTheFirstUseDialogLeavesLaterModalBoxesOpen) {
    ProgramRun run(false);
    CWindowApp& windowApp = *run.windowApp;
    std::vector<std::string> seen;
    ModalScript script({
        [&](QWidget* modal) {
            ASSERT_NE(qobject_cast<CConfigDialog*>(modal), nullptr);
            emit windowApp.window()->trayIcon()->exitRequested();
        },
        [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.push_back(box->text().toStdString());
            box->button(QMessageBox::Yes)->click();
        },
    });
    EXPECT_EQ(windowApp.Run(), 0);

    QMessageBox later(QMessageBox::NoIcon, "Brindlenet", "Later",
                      QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(later.exec(), QMessageBox::Yes);
    EXPECT_EQ(seen, std::vector<std::string>{"Later"});
    EXPECT_EQ(script.pending(), 0u);
}

// A program started with SIGINT ignored (run in the background) keeps
// ignoring it; SIGTERM still asks for the exit.
TEST(TerminationSignalsTest, AnIgnoredSigintStaysIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGINT, &ignore, &saved), 0);
    {
        CTerminationSignals termination;
        EXPECT_TRUE(termination.active());
        struct sigaction now {};
        ASSERT_EQ(::sigaction(SIGINT, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, SIG_IGN);
        bool requested = false;
        QObject::connect(&termination, &CTerminationSignals::terminationRequested,
                         [&] { requested = true; });
        std::raise(SIGTERM);
        EXPECT_TRUE(WaitForUi([&] { return requested; }));
    }
    ::sigaction(SIGINT, &saved, nullptr);
}

// Start-up takes the preferences from preferences.conf; a line it cannot use
// is reported on standard error and keeps its default, and start-up goes on.
TEST(WindowAppTest, StartUpLoadsThePreferencesAndReportsBadLines) {
    ProgramRun run(true);
    run.dir.WriteFile("preferences.conf", "upload_slots = 0\nnotifications = false\n");
    std::vector<std::string> boxes;
    ModalScript script({[&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        boxes.push_back(box->text().toStdString());
        box->accept();
    }});
    ::testing::internal::CaptureStderr();
    run.WhenRunning([&] { run.windowApp->window()->ExitApplication(); });
    EXPECT_EQ(run.windowApp->Run(), 0);
    const std::string errors = ::testing::internal::GetCapturedStderr();

    EXPECT_NE(errors.find("preferences: " + run.PreferencesPath() + ": line 1: upload_slots"),
              std::string::npos)
        << errors;
    const Preferences loaded = *run.windowApp->app().preferences();
    EXPECT_EQ(loaded.uploadSlots, kDefaultUploadSlots);
    EXPECT_FALSE(loaded.notifications);
    // Nothing about them holds up the start: registering is the only box.
    EXPECT_EQ(boxes, std::vector<std::string>({"Registred with server!"}));
    EXPECT_EQ(run.Unregistrations(), 1);
}

}  // namespace
}  // namespace brindle::test
