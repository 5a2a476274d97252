#include "ui/desktop_notifier.h"

#include <QSystemTrayIcon>

#ifdef BRINDLENET_HAVE_QT_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#endif

#include "ui/system_tray.h"
#include "ui/window_texts.h"

namespace brindle {

namespace {

constexpr int kShowMs = 5000;

#ifdef BRINDLENET_HAVE_QT_DBUS
bool NotifyOverDBus(const QString& title, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QString::fromUtf8(kAppName) << 0u << QStringLiteral("brindlenet") << title << body
         << QStringList() << QVariantMap() << kShowMs;
    // Sent without waiting for the reply: a slow or absent service never holds
    // up the window.
    return bus.send(call);
}
#endif

}  // namespace

CDesktopNotifier::CDesktopNotifier(CSystemTray& tray, QObject* parent)
    : QObject(parent), tray_(tray) {}

CDesktopNotifier::Channel CDesktopNotifier::Notify(const QString& title, const QString& body) {
    if (enabled_ && !enabled_()) {
        return Channel::Off;
    }
    Channel channel = Channel::None;
    if (tray_.iconAdded() && !tray_.iconHidden() && tray_.icon() != nullptr) {
        tray_.icon()->showMessage(title, body, QSystemTrayIcon::Information, kShowMs);
        channel = Channel::Tray;
    }
#ifdef BRINDLENET_HAVE_QT_DBUS
    else if (NotifyOverDBus(title, body)) {
        channel = Channel::DBus;
    }
#endif
    emit notified(title, body, channel);
    return channel;
}

}  // namespace brindle
