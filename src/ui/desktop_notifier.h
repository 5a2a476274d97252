// Desktop notifications: through the tray icon's balloon where there is a
// tray, else through the freedesktop notification service on the session bus
// (when the program is built with Qt D-Bus); without either they are dropped.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace brindle {

class CSystemTray;

class CDesktopNotifier : public QObject {
    Q_OBJECT
  public:
    // Off: the user has turned notifications off.
    enum class Channel { Tray, DBus, None, Off };

    explicit CDesktopNotifier(CSystemTray& tray, QObject* parent = nullptr);

    // Asked at each notification whether notifications are wanted at all.
    void SetEnabledCheck(std::function<bool()> enabled) { enabled_ = std::move(enabled); }

    // Shows `title` and `body`; returns the way it went. Turned off, it shows
    // nothing and emits nothing.
    Channel Notify(const QString& title, const QString& body);

  signals:
    void notified(const QString& title, const QString& body, Channel channel);

  private:
    CSystemTray& tray_;
    std::function<bool()> enabled_;
};

}  // namespace brindle
