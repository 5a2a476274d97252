// Start-up and the run of the window program: the core's start-up steps with
// the window's steps in between (splash picture, main window, tray icon).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/reachability_monitor.h"
#include "base/preferences.h"
#include "base/settings.h"
#include "peer/peer_options.h"
#include "ui/progress_dialog.h"
#include "ui/qt_ports.h"

namespace brindle {

class CMainWindow;
class CShareApp;
class CTerminationSignals;

struct WindowAppOptions {
    std::string configPath = kConfigFileName;
    std::string preferencesPath = DefaultPreferencesPath();
    // How long the splash picture stays before the main window is built.
    std::chrono::milliseconds splashWait{3000};
    // The listener's port and the peers' port.
    PeerOptions peerOptions;
    // No user at the screen: message boxes go to standard error.
    bool unattended = false;
    // Keep the window's size, place, tab and column widths between runs
    // (in the user's configuration folder).
    bool rememberWindow = false;
    // Port mapping and the directory's reachability probe.
    ReachabilityOptions reachability;
};

class CWindowApp {
  public:
    explicit CWindowApp(WindowAppOptions options = {});
    ~CWindowApp();
    CWindowApp(const CWindowApp&) = delete;
    CWindowApp& operator=(const CWindowApp&) = delete;

    // Preferences (lines it cannot use go to standard error), splash picture
    // and the wait (the event loop runs, so it paints and can
    // be dragged), main window, peer listener, splash gone, settings and
    // registration. A port already taken is reported and the window runs on.
    void StartUp();
    // StartUp, then the event loop until Exit, the end of the session or a
    // termination signal; the exit steps have run when it returns (once,
    // however many of these came). Returns the exit code.
    int Run();

    CShareApp& app() { return *app_; }
    CMainWindow* window() { return window_.get(); }
    QtMessageBox& messageBox() { return messageBox_; }
    QtMessageDisplay& display() { return display_; }
    [[nodiscard]] bool exitRequested() const { return exitRequested_; }
    // Run's event loop is running (start-up is over).
    [[nodiscard]] bool running() const { return inEventLoop_; }

  private:
    void StartReachability();

    WindowAppOptions options_;
    // The ports outlive the core, whose listener threads use the display.
    QtMessageBox messageBox_;
    QtProgressFactory progress_;
    QtConfigDialogPort configDialog_;
    QtMessageDisplay display_;
    std::unique_ptr<CShareApp> app_;
    std::unique_ptr<CMainWindow> window_;
    std::unique_ptr<QObject> quitFilter_;
    std::unique_ptr<CTerminationSignals> termination_;
    // Receives the reachability status on the window's thread.
    std::unique_ptr<QObject> reachabilityRelay_;
    bool exitRequested_ = false;
    bool inEventLoop_ = false;  // Run's event loop is running
};

// Runs the event loop for `duration`.
void RunEventLoopFor(std::chrono::milliseconds duration);

}  // namespace brindle
