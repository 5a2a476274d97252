#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>

#include "app/share_app.h"
#include "ui/about_dialog.h"
#include "ui/main_tab_ctrl.h"
#include "ui/system_tray.h"

namespace brindle {

CMainWindow::CMainWindow(CShareApp& app, QtMessageDisplay& display, const QIcon& icon,
                         QWidget* parent)
    : QMainWindow(parent), app_(app), icon_(icon) {
    setWindowTitle(QString::fromUtf8(kAppTitle));
    setWindowIcon(icon_);
    resize(kWidth, kHeight);

    tabCtrl_ = new CMainTabCtrl(app_, display, this);
    setCentralWidget(tabCtrl_);
    tabCtrl_->SetColumnWidths(kWidth);  // the client area's width at creation

    trayIcon_ = new CSystemTray(this);
    trayIcon_->Create(QString::fromUtf8(kAppTitle), icon_);
    connect(trayIcon_, &CSystemTray::showRequested, this, &CMainWindow::ShowMainWindow);
    connect(trayIcon_, &CSystemTray::hideRequested, this, &CMainWindow::HideMainWindow);
    connect(trayIcon_, &CSystemTray::exitRequested, this, &CMainWindow::ExitApplication);

    CreateMenus();
}

CMainWindow::~CMainWindow() = default;

void CMainWindow::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&Close"), this, &CMainWindow::HideMainWindow);
    file->addAction(QStringLiteral("Confi&guation"), this, &CMainWindow::EditConfiguration);
    file->addAction(QStringLiteral("&Exit"), this, &CMainWindow::ExitApplication);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(QStringLiteral("&About"), this, &CMainWindow::ShowAbout);
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
    event->ignore();
    HideMainWindow();
}

void CMainWindow::ExitApplication() {
    // Not from inside a dialog's own event loop (the tray menu stays usable
    // while one is open): that loop, and whatever opened it, must end first.
    if (QApplication::activeModalWidget() != nullptr) {
        return;
    }
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

}  // namespace brindle
