// The main window: title "Brindlenet V1.0", the tab control filling its client
// area, the File and Help menus and the tray icon. Closing it only hides it;
// Exit ends the program.
#pragma once

#include <QIcon>
#include <QMainWindow>

#include "app/reachability_monitor.h"

class QAction;
class QLabel;
class QSettings;

namespace brindle {

class CDesktopNotifier;
class CMainTabCtrl;
class CShareApp;
class CSystemTray;
class QtMessageDisplay;

class CMainWindow : public QMainWindow {
    Q_OBJECT
  public:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 480;

    CMainWindow(CShareApp& app, QtMessageDisplay& display, const QIcon& icon,
                QWidget* parent = nullptr);
    ~CMainWindow() override;

    [[nodiscard]] CMainTabCtrl* tabCtrl() const { return tabCtrl_; }
    [[nodiscard]] CSystemTray* trayIcon() const { return trayIcon_; }
    [[nodiscard]] CDesktopNotifier* notifier() const { return notifier_; }
    [[nodiscard]] QAction* exitAction() const { return exitAction_; }
    // The status bar's reachability line; null until the first status.
    [[nodiscard]] QLabel* reachabilityLabel() const { return reachability_; }

    // Shows a reachability status: the status bar's line with its tooltip,
    // and the tray tip's last line.
    void ShowReachability(const ReachabilityStatus& status);
    // The line and the tooltip for a status.
    static QString ReachabilityLine(const ReachabilityStatus& status);
    static QString ReachabilityTip(const ReachabilityStatus& status);

    // The window's size and place, the current tab and the lists' column
    // widths, kept in `settings` between runs.
    void SaveWindowState(QSettings& settings) const;
    void RestoreWindowState(const QSettings& settings);

    // Centres the window on the screen's work area.
    void CentreOnScreen();

    // File "&Close", tray "&Hide" and the close box. With a tray icon the
    // window is hidden; without one it is minimised, so it can always be
    // reached again and the program ended.
    void HideMainWindow();
    // Tray "&Show" and a double-click on the tray icon.
    void ShowMainWindow();
    // File "&Exit", tray "&Exit", the end of the session and termination
    // signals. Open modal dialogs are closed first; once their event loops
    // have unwound (and no blocking server request is running) the exit steps
    // run: unregister, close the listener, take the icon out of the tray, then
    // signal `exiting` (the program then quits). Later calls do nothing.
    void ExitApplication();
    // Runs the exit steps now, if they have not run yet; for when no event
    // loop is left to run them later.
    void CompleteExit();
    [[nodiscard]] bool exitStarted() const { return exitState_ != ExitState::Running; }
    // Help "&About".
    void ShowAbout();
    // File "Confi&guation": edit the settings, then save them.
    void EditConfiguration();
    // File "&Preferences...": OK publishes and saves the edited preferences
    // (a failed save is reported, and the values hold for this run); Cancel
    // changes nothing.
    void EditPreferences();

  signals:
    // Emitted when the exit begins, before any dialog is closed.
    void closing();
    // Emitted once the exit steps have run.
    void exiting();

  protected:
    void closeEvent(QCloseEvent* event) override;
    // Whether a tray icon can bring the window back.
    [[nodiscard]] virtual bool HasTray() const;

  private:
    enum class ExitState { Running, Closing, Done };
    QLabel* reachability_ = nullptr;

    void CreateMenus();
    // Shown and not minimised: what happens in it is seen without a notification.
    [[nodiscard]] bool InView() const;
    // A message line arrived: a notification when nobody sees the window.
    void NotifyMessages(const QStringList& lines);
    void BeginExit();
    // Runs the exit steps once the dialogs' loops and blocking requests are over.
    void CompleteExitWhenIdle();

    CShareApp& app_;
    QIcon icon_;
    CMainTabCtrl* tabCtrl_ = nullptr;
    CSystemTray* trayIcon_ = nullptr;
    CDesktopNotifier* notifier_ = nullptr;
    QAction* exitAction_ = nullptr;
    ExitState exitState_ = ExitState::Running;
};

}  // namespace brindle
