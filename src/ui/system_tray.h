// The tray icon: tip "Brindlenet V1.0", a double-click shows the main window,
// the right-click menu offers "&Show" (the default), "&Hide" and "&Exit". Trays
// that report single clicks only (the D-Bus trays) show the window on a click.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

class QAction;
class QMenu;

namespace brindle {

class CSystemTray : public QObject {
    Q_OBJECT
  public:
    explicit CSystemTray(QObject* parent = nullptr);
    ~CSystemTray() override;

    // Puts the icon in the tray. False when the desktop has no tray; the
    // program then runs without one and every later call does nothing.
    bool Create(const QString& tip, const QIcon& icon);
    // Takes the icon out of the tray (the exit command); a second call does nothing.
    void HideFromTray();

    [[nodiscard]] bool iconAdded() const { return iconAdded_; }
    [[nodiscard]] bool iconHidden() const { return iconHidden_; }
    [[nodiscard]] QMenu* menu() const { return menu_.get(); }
    [[nodiscard]] QSystemTrayIcon* icon() const { return icon_.get(); }

    // The tip with the running transfers added: "2 downloading, 1 uploading".
    // `waiting`: upload requests waiting in this sharer's line.
    void SetTransferCounts(int downloading, int uploading, int waiting = 0);
    static QString TipText(const QString& base, int downloading, int uploading, int waiting = 0);
    // The same with `lastLine` (the reachability line) below, when not empty.
    static QString TipText(const QString& base, int downloading, int uploading, int waiting,
                           const QString& lastLine);
    // The tip's last line.
    void SetLastLine(const QString& line);
    [[nodiscard]] QString tip() const { return tip_; }

    // What a double-click on the icon does: the menu's default command.
    void HandleDoubleClick();
    // An activation of the icon: a double-click or a single click runs the
    // default command; the context menu is opened by the tray itself.
    void HandleActivation(QSystemTrayIcon::ActivationReason reason);

  signals:
    void showRequested();
    void hideRequested();
    void exitRequested();

  private:
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QString tip_;
    QString baseTip_;
    QString lastLine_;
    int downloading_ = 0;
    int uploading_ = 0;
    int waiting_ = 0;
    bool iconAdded_ = false;
    bool iconHidden_ = false;
};

}  // namespace brindle
