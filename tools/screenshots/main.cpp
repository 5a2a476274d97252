// brindlenet-screenshots: the window program of brindlenet, started the same
// way, that walks its own pages and dialogs and saves a picture of each into
// a folder instead of waiting for a user. It reads config.txt from the working
// directory. tools/screenshots.sh runs it under Xvfb.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "screenshot_tour.h"
#include "ui/ui_resources.h"
#include "ui/window_app.h"

namespace {

constexpr char kUsage[] =
    "Usage: brindlenet-screenshots [Qt options] FOLDER\n"
    "\n"
    "Starts the Brindlenet window, sends a message to its own user, searches,\n"
    "downloads the first result and opens each dialog, saving a PNG picture of\n"
    "each step into FOLDER; then exits. BRINDLENET_TOUR_QUERY is the search text\n"
    "(empty by default), BRINDLENET_TOUR_EXT the file type (\"*.*\" by default).\n";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    QApplication application(argc, argv);
    // Named as the program itself, so notifications and the tray read the same.
    QApplication::setApplicationName(QStringLiteral("brindlenet"));
    QGuiApplication::setDesktopFileName(QStringLiteral("brindlenet"));
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::InitUiResources();
    QApplication::setWindowIcon(brindle::AppIcon());

    const QStringList arguments = QCoreApplication::arguments();  // less Qt's own options
    if (arguments.size() != 2 || arguments[1].isEmpty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    brindle::WindowAppOptions options;
    options.unattended = true;       // nobody answers message boxes
    options.rememberWindow = false;  // the pictures show the window as built
    brindle::CWindowApp windowApp(options);
    return brindle::RunScreenshotTour(windowApp, arguments[1]);
}
