// Desktop notifications: through the tray icon's balloon where there is a
// tray, else through the freedesktop notification service on the session bus
// (when the program is built with Qt D-Bus); without either they are dropped.
#pragma once

#include <QObject>
#include <QString>

namespace brindle {

class CSystemTray;

class CDesktopNotifier : public QObject {
    Q_OBJECT
  public:
    enum class Channel { Tray, DBus, None };

    explicit CDesktopNotifier(CSystemTray& tray, QObject* parent = nullptr);

    // Shows `title` and `body`; returns the way it went.
    Channel Notify(const QString& title, const QString& body);

  signals:
    void notified(const QString& title, const QString& body, Channel channel);

  private:
    CSystemTray& tray_;
};

}  // namespace brindle
