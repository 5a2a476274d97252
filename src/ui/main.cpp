// brindlenet: the window program. It reads config.txt from the working directory.
#include <QApplication>

#include "ui/screenshot_tour.h"
#include "ui/ui_resources.h"
#include "ui/window_app.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brindlenet"));
    QGuiApplication::setDesktopFileName(QStringLiteral("brindlenet"));
    // Closing the window only hides it; Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::InitUiResources();
    QApplication::setWindowIcon(brindle::AppIcon());

    const QString screenshots = qEnvironmentVariable("BRINDLENET_SCREENSHOTS");
    brindle::WindowAppOptions options;
    options.unattended = !screenshots.isEmpty();
    options.rememberWindow = screenshots.isEmpty();  // the tour shows the window as built
    brindle::CWindowApp windowApp(options);
    if (!screenshots.isEmpty()) {
        return brindle::RunScreenshotTour(windowApp, screenshots);
    }
    return windowApp.Run();
}
