#include "ui/window_app.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include "app/share_app.h"
#include "peer/peer_app.h"
#include "ui/main_tab_ctrl.h"
#include "ui/main_window.h"
#include "ui/splash_screen.h"
#include "ui/ui_resources.h"

namespace brindle {

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
                                       options_.configPath);
}

CWindowApp::~CWindowApp() {
    // The window goes first; the core then winds its threads down.
    window_.reset();
    app_.reset();
}

void CWindowApp::StartUp() {
    InitUiResources();
    app_->BeginStartUp();

    CSplashScreen splash(SplashPicture());
    splash.show();
    // Messages of the steps below wait until the splash has gone.
    messageBox_.HoldMessages();
    RunEventLoopFor(options_.splashWait);

    window_ = std::make_unique<CMainWindow>(*app_, display_, AppIcon());
    QObject::connect(window_.get(), &CMainWindow::exiting, window_.get(), [this] {
        exitRequested_ = true;
        QCoreApplication::quit();
    });
    window_->tabCtrl()->SetPeerOptions(options_.peerOptions);
    window_->CentreOnScreen();
    window_->show();
    QCoreApplication::processEvents();

    StartPeerListener(*app_, display_, options_.peerOptions);
    if (app_->peerListener) {
        window_->tabCtrl()->AttachUploadTable(app_->peerListener->uploadRecords());
    }

    splash.CloseSplash();
    messageBox_.ReleaseMessages();
    app_->LoadSettingsAndRegister();
}

int CWindowApp::Run() {
    StartUp();
    if (exitRequested_) {
        return 0;
    }
    return QApplication::exec();
}

}  // namespace brindle
