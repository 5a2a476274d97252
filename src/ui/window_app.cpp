#include "ui/window_app.h"

#include <QApplication>
#include <QEventLoop>
#include <QSettings>
#include <QTimer>

#include <cstdio>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "ui/main_tab_ctrl.h"
#include "ui/main_window.h"
#include "ui/splash_screen.h"
#include "ui/termination_signals.h"
#include "ui/ui_resources.h"

namespace brindle {

namespace {

// ~/.config/brindlenet/window.ini
std::unique_ptr<QSettings> WindowStateSettings() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("brindlenet"), QStringLiteral("window"));
}

// The application's quit request (the session manager's at logout, or a
// quit() from anywhere) would close the window, which only hides; it becomes
// the Exit command instead.
class QuitAsExit : public QObject {
  public:
    explicit QuitAsExit(CMainWindow& window) : window_(window) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::Quit) {
            window_.ExitApplication();
            return true;
        }
        return false;
    }

  private:
    CMainWindow& window_;
};

}  // namespace

void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

CWindowApp::CWindowApp(WindowAppOptions options)
    : options_(std::move(options)),
      messageBox_([this] { return static_cast<QWidget*>(window_.get()); }),
      progress_([this] { return static_cast<QWidget*>(window_.get()); }),
      configDialog_([this] { return static_cast<QWidget*>(window_.get()); }) {
    messageBox_.SetUnattended(options_.unattended);
    app_ = std::make_unique<CShareApp>(UiPorts{&messageBox_, &progress_, &configDialog_},
                                       options_.configPath, options_.preferencesPath);
}

CWindowApp::~CWindowApp() {
    // The window goes first; the core then winds its threads down.
    termination_.reset();
    quitFilter_.reset();
    // No status arrives for a window that is gone.
    if (app_) {
        app_->StopReachability();
    }
    reachabilityRelay_.reset();
    window_.reset();
    app_.reset();
}

void CWindowApp::StartUp() {
    InitUiResources();
    app_->BeginStartUp();
    // Before the listener starts, so its first transfers already keep to them.
    // A bad line keeps its default and is no reason to hold up the start.
    for (const std::string& problem : app_->LoadPreferences()) {
        std::fprintf(stderr, "preferences: %s: %s\n", app_->preferencesPath().c_str(),
                     problem.c_str());
    }

    CSplashScreen splash(SplashPicture());
    splash.show();
    // Messages of the steps below wait until the splash has gone.
    messageBox_.HoldMessages();
    RunEventLoopFor(options_.splashWait);

    window_ = std::make_unique<CMainWindow>(*app_, display_, AppIcon());
    QObject::connect(window_.get(), &CMainWindow::closing, window_.get(), [this] {
        messageBox_.SetClosing();
        if (options_.rememberWindow) {
            window_->SaveWindowState(*WindowStateSettings());
        }
    });
    QObject::connect(window_.get(), &CMainWindow::exiting, window_.get(), [this] {
        exitRequested_ = true;
        // Outside Run's loop there is nothing to leave: ending the loops of
        // start-up's dialogs would make every later one return at once.
        if (inEventLoop_) {
            QCoreApplication::exit(0);
        }
    });
    // However the loop ends, the user is unregistered before the process goes.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, window_.get(), [this] {
        inEventLoop_ = false;
        window_->CompleteExit();
    });
    quitFilter_ = std::make_unique<QuitAsExit>(*window_);
    qApp->installEventFilter(quitFilter_.get());
    termination_ = std::make_unique<CTerminationSignals>();
    QObject::connect(termination_.get(), &CTerminationSignals::terminationRequested, window_.get(),
                     &CMainWindow::ExitApplication);
    window_->tabCtrl()->SetPeerOptions(options_.peerOptions);
    bool restored = false;
    if (options_.rememberWindow) {
        const auto state = WindowStateSettings();
        restored = state->contains(QStringLiteral("window/geometry"));
        window_->RestoreWindowState(*state);
    }
    if (!restored) {
        window_->CentreOnScreen();
    }
    window_->show();
    QCoreApplication::processEvents();

    StartPeerListener(*app_, display_, options_.peerOptions);
    if (app_->peerListener() != nullptr) {
        window_->tabCtrl()->AttachUploadTable(app_->peerListener()->uploadRecords());
    }

    splash.CloseSplash();
    messageBox_.ReleaseMessages();
    StartReachability();
    app_->LoadSettingsAndRegister();
}

// Before the registration, which asks for the first probe. The status comes
// on the monitor's threads and is shown on the window's.
void CWindowApp::StartReachability() {
    if (!options_.reachability.enabled) {
        return;
    }
    ReachabilityOptions reachability = options_.reachability;
    if (app_->peerListener() != nullptr) {
        reachability.port = app_->peerListener()->port();
    }
    reachabilityRelay_ = std::make_unique<QObject>();
    window_->ShowReachability(app_->reachabilityStatus());
    QObject* relay = reachabilityRelay_.get();
    CMainWindow* window = window_.get();
    app_->StartReachability(std::move(reachability), [relay,
                                                      window](const ReachabilityStatus& status) {
        QMetaObject::invokeMethod(
            relay, [window, status] { window->ShowReachability(status); }, Qt::QueuedConnection);
    });
}

int CWindowApp::Run() {
    StartUp();
    int code = 0;
    if (!window_->exitStarted()) {
        inEventLoop_ = true;
        code = QApplication::exec();
        inEventLoop_ = false;
    }
    // Exit during start-up leaves its steps to here.
    window_->CompleteExit();
    return code;
}

}  // namespace brindle
