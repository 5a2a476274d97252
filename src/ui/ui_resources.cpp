#include "ui/ui_resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE has to be used outside any namespace.
static void InitBrindlenetQrc() {
    Q_INIT_RESOURCE(brindlenet);
}

namespace brindle {

void InitUiResources() {
    InitBrindlenetQrc();
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/brindlenet/icon-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QPixmap SplashPicture() {
    return QPixmap(QStringLiteral(":/brindlenet/splash.png"));
}

}  // namespace brindle
