#include "screenshot_tour.h"

#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "app/share_app.h"
#include "peer/transfer_record.h"
#include "ui/about_dialog.h"
#include "ui/config_dialog.h"
#include "ui/desktop_notifier.h"
#include "ui/main_tab_ctrl.h"
#include "ui/main_window.h"
#include "ui/preferences_dialog.h"
#include "ui/qt_text.h"
#include "ui/report_view.h"
#include "ui/ui_resources.h"
#include "ui/window_app.h"

namespace brindle {

namespace {

using namespace std::chrono_literals;

// Runs the event loop until `done` holds or `limit` passes.
void WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        RunEventLoopFor(50ms);
    }
}

bool Save(QWidget& widget, const QDir& folder, const char* name) {
    RunEventLoopFor(300ms);  // let it paint
    const QString path = folder.filePath(QString::fromUtf8(name));
    const bool ok = widget.grab().save(path, "PNG");
    std::fprintf(stderr, "screenshot %s: %s\n", ok ? "saved" : "NOT saved", qPrintable(path));
    return ok;
}

// The top right-hand corner of the screen, the window's size: where the
// desktop's notifications come up, over the window's right-hand part.
bool SaveNotificationArea(QWidget& window, const QDir& folder, const char* name) {
    RunEventLoopFor(1000ms);  // the notification service draws in its own time
    QScreen* screen = window.screen();
    const QRect area = screen->geometry();
    const QSize size = window.frameGeometry().size();
    const QPixmap shot = screen->grabWindow(0, area.right() + 1 - size.width(), area.top(),
                                            size.width(), size.height());
    const QString path = folder.filePath(QString::fromUtf8(name));
    const bool ok = shot.save(path, "PNG");
    std::fprintf(stderr, "screenshot %s: %s\n", ok ? "saved" : "NOT saved", qPrintable(path));
    return ok;
}

bool AllFinished(const TransferTable& table) {
    for (const auto& record : table.Records()) {
        if (!record->IsFinished()) {
            return false;
        }
    }
    return true;
}

}  // namespace

int RunScreenshotTour(CWindowApp& windowApp, const QString& folder) {
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(folder));
        return 1;
    }
    windowApp.StartUp();
    CMainWindow& window = *windowApp.window();
    CMainTabCtrl& tabs = *window.tabCtrl();
    CShareApp& app = windowApp.app();
    bool ok = true;

    // Messages: a message to oneself shows the sent line and the received one.
    tabs.SelectPage(CMainTabCtrl::kMessagesPage);
    tabs.userNameEdit()->setText(ToQ(app.settings()->userName));
    const QString greeting = QStringLiteral("Hello from Brindlenet!");
    tabs.messageEdit()->setText(greeting);
    tabs.SendInstantMessage();
    // The own line, and the same line once this copy's listener has received it.
    WaitUntil([&] { return tabs.messageView()->toPlainText().count(greeting) >= 2; }, 5s);
    tabs.messageEdit()->setText(QStringLiteral("Anyone sharing the new recordings?"));
    ok = Save(window, dir, "messages.png") && ok;

    // Search.
    tabs.SelectPage(CMainTabCtrl::kSearchPage);
    tabs.fileNameEdit()->setText(qEnvironmentVariable("BRINDLENET_TOUR_QUERY"));
    const QString ext = qEnvironmentVariable("BRINDLENET_TOUR_EXT", QStringLiteral("*.*"));
    tabs.extensionCombo()->setCurrentIndex(std::max(0, tabs.extensionCombo()->findText(ext)));
    tabs.RunSearch();
    tabs.resultsList()->SelectRow(0);
    ok = Save(window, dir, "search.png") && ok;
    // The same results, largest first: the header shows the sort.
    tabs.resultsList()->sortByColumn(1, Qt::DescendingOrder);
    ok = Save(window, dir, "sorted.png") && ok;
    tabs.resultsList()->sortByColumn(0, Qt::AscendingOrder);
    tabs.resultsList()->header()->setSortIndicator(-1, Qt::AscendingOrder);
    tabs.resultsList()->SelectRow(0);

    // Transfer: download the first result (from this very copy when the
    // result is one of its own files) and wait for both rows to finish. The
    // window is hidden meanwhile, as by a user who went elsewhere, so the end of
    // the download raises the desktop's notification.
    CDesktopNotifier::Channel notifiedBy = CDesktopNotifier::Channel::None;
    bool notified = false;
    QObject::connect(window.notifier(), &CDesktopNotifier::notified, &window,
                     [&](const QString&, const QString&, CDesktopNotifier::Channel channel) {
                         notified = true;
                         notifiedBy = channel;
                     });
    window.hide();
    tabs.StartDownload();
    WaitUntil(
        [&] {
            tabs.RefreshTransfers();
            return AllFinished(app.downloadRecords()) &&
                   (app.peerListener() == nullptr ||
                    AllFinished(app.peerListener()->uploadRecords()));
        },
        20s);
    WaitUntil([&] { return notified; }, 5s);
    window.show();
    tabs.RefreshTransfers();
    tabs.downloadTable()->SelectRow(0);

    // The finished download's notification, as the desktop shows it over the window.
    if (notified && notifiedBy != CDesktopNotifier::Channel::None &&
        notifiedBy != CDesktopNotifier::Channel::Off) {
        ok = SaveNotificationArea(window, dir, "notification.png") && ok;
    } else {
        std::fprintf(stderr,
                     "screenshot notification.png: not taken (no tray or notification "
                     "service shows notifications here)\n");
    }
    ok = Save(window, dir, "transfer.png") && ok;

    // The dialogs.
    {
        CConfigDialog shown(&window);
        shown.values = *app.settings();
        QTimer::singleShot(0, &shown, [&] {
            ok = Save(shown, dir, "configuration.png") && ok;
            shown.reject();
        });
        shown.ShowModal();
    }
    {
        CPreferencesDialog shown(&window);
        shown.values = *app.preferences();
        QTimer::singleShot(0, &shown, [&] {
            ok = Save(shown, dir, "preferences.png") && ok;
            shown.reject();
        });
        shown.ShowModal();
    }
    {
        CAboutDialog about(AppIcon(), &window);
        QTimer::singleShot(0, &about, [&] {
            ok = Save(about, dir, "about.png") && ok;
            about.reject();
        });
        about.exec();
    }

    window.ExitApplication();
    return ok ? 0 : 1;
}

}  // namespace brindle
