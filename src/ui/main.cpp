// brindlenet: the window program. It reads config.txt from the working directory.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "ui/ui_resources.h"
#include "ui/window_app.h"

namespace {

constexpr char kUsage[] =
    "Usage: brindlenet [Qt options]\n"
    "\n"
    "The Brindlenet window: shares the files of one directory with other\n"
    "Brindlenet users, searches the directory server for theirs, downloads them\n"
    "and exchanges one-line messages. It reads config.txt from the working\n"
    "directory and asks for the settings when the file is missing or incomplete.\n"
    "Closing the window hides it to the tray; File > Exit ends the program.\n"
    "\n"
    "Options:\n"
    "  --help     show this text and exit\n"
    "Qt's own options (such as -platform NAME) are accepted as well.\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brindlenet"));
    QGuiApplication::setDesktopFileName(QStringLiteral("brindlenet"));
    // Closing the window only hides it; Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::InitUiResources();
    QApplication::setWindowIcon(brindle::AppIcon());

    brindle::WindowAppOptions options;
    options.rememberWindow = true;
    // Downloads wait in a busy sharer's line instead of failing.
    options.peerOptions.queueRequests = true;
    brindle::CWindowApp windowApp(options);
    return windowApp.Run();
}
