#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>

#include "app/share_app.h"
#include "peer/peer_listener.h"
#include "ui/about_dialog.h"
#include "ui/desktop_notifier.h"
#include "ui/main_tab_ctrl.h"
#include "ui/preferences_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/qt_ports.h"
#include "ui/report_view.h"
#include "ui/system_tray.h"
#include "ui/window_texts.h"

namespace brindle {

namespace {

constexpr int kExitRetryMs = 20;

// Rejects every open modal dialog; each one's event loop ends when control
// returns to it. Returns whether any was open.
bool CloseModalDialogs() {
    bool any = false;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(window);
        if (dialog != nullptr && dialog->isVisible() && dialog->isModal()) {
            dialog->reject();
            any = true;
        }
    }
    return any;
}

// A directory-server request or a scan runs on this thread: its progress
// window exists exactly as long as it does.
bool BlockingRequestRunning() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qobject_cast<CProgressDialog*>(window) != nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace

CMainWindow::CMainWindow(CShareApp& app, QtMessageDisplay& display, const QIcon& icon,
                         QWidget* parent)
    : QMainWindow(parent), app_(app), icon_(icon) {
    setWindowTitle(QString::fromUtf8(kAppTitle));
    setWindowIcon(icon_);
    resize(kWidth, kHeight);
    // The frame is 640 x 480 where the platform reports its margins once the
    // native window exists; elsewhere (a window manager that frames it later)
    // the client area is, and the column widths below still fit.
    create();
    if (QWindow* native = windowHandle()) {
        const QMargins frame = native->frameMargins();
        resize(kWidth - frame.left() - frame.right(), kHeight - frame.top() - frame.bottom());
    }

    tabCtrl_ = new CMainTabCtrl(app_, display, this);
    setCentralWidget(tabCtrl_);
    tabCtrl_->SetColumnWidths(width());  // the client area's width at creation

    trayIcon_ = new CSystemTray(this);
    trayIcon_->Create(QString::fromUtf8(kAppTitle), icon_);
    connect(trayIcon_, &CSystemTray::showRequested, this, &CMainWindow::ShowMainWindow);
    connect(trayIcon_, &CSystemTray::hideRequested, this, &CMainWindow::HideMainWindow);
    connect(trayIcon_, &CSystemTray::exitRequested, this, &CMainWindow::ExitApplication);
    connect(tabCtrl_, &CMainTabCtrl::transfersRefreshed, this, [this] {
        const PeerListener* listener = app_.peerListener();
        const int waiting = listener ? static_cast<int>(listener->waitingUploads()) : 0;
        trayIcon_->SetTransferCounts(tabCtrl_->ActiveDownloads(), tabCtrl_->ActiveUploads(),
                                     waiting);
    });

    notifier_ = new CDesktopNotifier(*trayIcon_, this);
    notifier_->SetEnabledCheck([this] { return app_.preferences()->notifications; });
    connect(&display, &QtMessageDisplay::linesShown, this, &CMainWindow::NotifyMessages);
    connect(tabCtrl_, &CMainTabCtrl::downloadEnded, this,
            [this](const QString& fileName, bool completed) {
                if (exitStarted() || InView()) {
                    return;  // the user sees the transfer table
                }
                notifier_->Notify(
                    QString::fromUtf8(completed ? kNotifyDownloadComplete : kNotifyDownloadFailed),
                    fileName);
            });

    CreateMenus();
}

bool CMainWindow::InView() const {
    return isVisible() && !isMinimized();
}

void CMainWindow::NotifyMessages(const QStringList& lines) {
    // While the window is hidden or minimised nobody is typing into it, so
    // every line is one that arrived.
    if (exitStarted() || InView() || lines.isEmpty()) {
        return;
    }
    notifier_->Notify(QString::fromUtf8(kNotifyMessageTitle), lines.join(QLatin1Char('\n')));
}

namespace {

const char* const kListKeys[] = {"results", "downloads", "uploads"};

}  // namespace

void CMainWindow::SaveWindowState(QSettings& settings) const {
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("window/tab"), tabCtrl_->currentPage());
    const CReportView* lists[] = {tabCtrl_->resultsList(), tabCtrl_->downloadTable(),
                                  tabCtrl_->uploadTable()};
    for (size_t i = 0; i < std::size(lists); ++i) {
        QList<int> widths;
        // The last column stretches to the list's width: only the others are kept.
        for (int c = 0; c + 1 < lists[i]->header()->count(); ++c) {
            widths << lists[i]->header()->sectionSize(c);
        }
        settings.setValue(QStringLiteral("columns/%1").arg(QLatin1String(kListKeys[i])),
                          QVariant::fromValue(widths));
    }
}

void CMainWindow::RestoreWindowState(const QSettings& settings) {
    const QByteArray geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (!geometry.isEmpty()) {
        restoreGeometry(geometry);
    }
    bool ok = false;
    const int tab = settings.value(QStringLiteral("window/tab")).toInt(&ok);
    if (ok && tab >= CMainTabCtrl::kMessagesPage && tab <= CMainTabCtrl::kTransferPage) {
        tabCtrl_->SelectPage(tab);
    }
    CReportView* lists[] = {tabCtrl_->resultsList(), tabCtrl_->downloadTable(),
                            tabCtrl_->uploadTable()};
    for (size_t i = 0; i < std::size(lists); ++i) {
        const QList<int> widths =
            settings.value(QStringLiteral("columns/%1").arg(QLatin1String(kListKeys[i])))
                .value<QList<int>>();
        QHeaderView* header = lists[i]->header();
        // A stored width of nothing or of a whole screen is no width to restore.
        for (int c = 0; c < widths.size() && c + 1 < header->count(); ++c) {
            if (widths[c] > 0 && widths[c] < 10000) {
                header->resizeSection(c, widths[c]);
            }
        }
    }
}

CMainWindow::~CMainWindow() = default;

void CMainWindow::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QString::fromUtf8(kMenuFile));
    file->addAction(QString::fromUtf8(kMenuClose), this, &CMainWindow::HideMainWindow);
    file->addAction(QString::fromUtf8(kMenuConfiguration), this, &CMainWindow::EditConfiguration);
    file->addAction(QString::fromUtf8(kMenuPreferences), this, &CMainWindow::EditPreferences);
    exitAction_ =
        file->addAction(QString::fromUtf8(kMenuExit), this, &CMainWindow::ExitApplication);
    exitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    exitAction_->setShortcutContext(Qt::ApplicationShortcut);
    QMenu* help = menuBar()->addMenu(QString::fromUtf8(kMenuHelp));
    help->addAction(QString::fromUtf8(kMenuAbout), this, &CMainWindow::ShowAbout);
}

void CMainWindow::CentreOnScreen() {
    QScreen* target = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (target == nullptr) {
        return;
    }
    QRect frame = frameGeometry();
    frame.moveCenter(target->availableGeometry().center());
    move(frame.topLeft());
}

bool CMainWindow::HasTray() const {
    return trayIcon_->iconAdded() && !trayIcon_->iconHidden();
}

void CMainWindow::HideMainWindow() {
    if (HasTray()) {
        hide();
    } else {
        showMinimized();
    }
}

void CMainWindow::ShowMainWindow() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void CMainWindow::closeEvent(QCloseEvent* event) {
    if (exitStarted()) {
        event->accept();  // the program is ending: a close must not hold it up
        return;
    }
    event->ignore();
    HideMainWindow();
}

void CMainWindow::ExitApplication() {
    if (exitState_ != ExitState::Running) {
        return;
    }
    BeginExit();
    // A dialog's event loop, and the code that opened it, must end before the
    // program does (the tray menu stays usable while a dialog is open).
    if (CloseModalDialogs() || BlockingRequestRunning()) {
        QTimer::singleShot(0, this, &CMainWindow::CompleteExitWhenIdle);
        return;
    }
    CompleteExit();
}

void CMainWindow::BeginExit() {
    exitState_ = ExitState::Closing;
    app_.RequestExit();  // no dialog reopens, start-up does not register
    emit closing();
}

void CMainWindow::CompleteExitWhenIdle() {
    if (exitState_ == ExitState::Done) {
        return;
    }
    // A request on this thread shows progress and lets timers run meanwhile;
    // unregistering inside it would interleave two server requests.
    if (BlockingRequestRunning()) {
        QTimer::singleShot(kExitRetryMs, this, &CMainWindow::CompleteExitWhenIdle);
        return;
    }
    CompleteExit();
}

void CMainWindow::CompleteExit() {
    if (exitState_ == ExitState::Done) {
        return;
    }
    if (exitState_ == ExitState::Running) {
        BeginExit();
    }
    exitState_ = ExitState::Done;
    app_.ExitApplication();
    trayIcon_->HideFromTray();
    emit exiting();  // the program's run leaves its event loop on this
}

void CMainWindow::ShowAbout() {
    CAboutDialog about(icon_, this);
    about.exec();
}

void CMainWindow::EditConfiguration() {
    app_.EditSettings();
    app_.SaveSettings();
}

void CMainWindow::EditPreferences() {
    CPreferencesDialog dialog(this);
    dialog.values = *app_.preferences();
    if (dialog.ShowModal() != QDialog::Accepted || exitStarted()) {
        return;
    }
    if (!app_.SavePreferences(dialog.values)) {
        app_.messageBox().ShowMessage(
            kPreferencesNotSavedText + app_.preferencesPath() + kPreferencesNotSavedEnd,
            MessageIcon::Error);
    }
}

QString CMainWindow::ReachabilityLine(const ReachabilityStatus& status) {
    const QString port = QString::number(status.port);
    switch (status.reachable) {
        case Reachability::Reachable:
            if (status.mapping.state == MappingState::Mapped) {
                return QString::fromUtf8(kReachableVia)
                    .arg(port, QString::fromUtf8(MappingMethodName(status.mapping.method).data()));
            }
            return QString::fromUtf8(kReachableOn).arg(port);
        case Reachability::NotReachable:
            return QString::fromUtf8(kNotReachable);
        case Reachability::Unknown:
            break;
    }
    return QString::fromUtf8(kReachabilityUnknown);
}

QString CMainWindow::ReachabilityTip(const ReachabilityStatus& status) {
    const QString port = QString::number(status.port);
    switch (status.reachable) {
        case Reachability::Reachable:
            if (status.mapping.state == MappingState::Mapped) {
                const std::string& address = status.mapping.externalAddress;
                return QString::fromUtf8(kReachableViaTip)
                    .arg(port, QString::fromUtf8(MappingMethodName(status.mapping.method).data()),
                         address.empty() ? QString()
                                         : QStringLiteral(", public address ") +
                                               QString::fromStdString(address));
            }
            return QString::fromUtf8(kReachableTip).arg(port);
        case Reachability::NotReachable:
            return QString::fromUtf8(kNotReachableTip)
                .arg(QString::fromStdString(NotReachableReason(status)));
        case Reachability::Unknown:
            break;
    }
    return QString::fromUtf8(kReachabilityUnknownTip).arg(port);
}

void CMainWindow::ShowReachability(const ReachabilityStatus& status) {
    if (reachability_ == nullptr) {
        reachability_ = new QLabel(this);
        statusBar()->addWidget(reachability_, 1);
    }
    const QString line = ReachabilityLine(status);
    reachability_->setText(line);
    reachability_->setToolTip(ReachabilityTip(status));
    trayIcon_->SetLastLine(line);
}

}  // namespace brindle
