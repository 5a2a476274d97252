#include "ui/system_tray.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

#include "ui/window_texts.h"

namespace brindle {

CSystemTray::CSystemTray(QObject* parent) : QObject(parent), menu_(std::make_unique<QMenu>()) {
    menu_->setTitle(QString::fromUtf8(kAppName));
    QAction* show =
        menu_->addAction(QString::fromUtf8(kTrayShow), this, &CSystemTray::showRequested);
    menu_->addAction(QString::fromUtf8(kTrayHide), this, &CSystemTray::hideRequested);
    menu_->addAction(QString::fromUtf8(kTrayExit), this, &CSystemTray::exitRequested);
    menu_->setDefaultAction(show);  // drawn bold; also what a double-click runs
}

CSystemTray::~CSystemTray() = default;

bool CSystemTray::Create(const QString& tip, const QIcon& icon) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        iconAdded_ = false;
        return false;
    }
    icon_ = std::make_unique<QSystemTrayIcon>(icon);
    baseTip_ = tip;
    tip_ = tip;
    icon_->setToolTip(tip);
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &CSystemTray::HandleActivation);
    icon_->show();
    iconAdded_ = true;
    return true;
}

void CSystemTray::HandleActivation(QSystemTrayIcon::ActivationReason reason) {
    // Trays that know double-clicks report the click before it as well;
    // showing the window twice is harmless.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
        HandleDoubleClick();
    }
}

void CSystemTray::HandleDoubleClick() {
    if (QAction* action = menu_->defaultAction()) {
        action->trigger();
    }
}

QString CSystemTray::TipText(const QString& base, int downloading, int uploading, int waiting) {
    QStringList counts;
    if (downloading > 0) {
        counts << QString::fromUtf8(kTipDownloading).arg(downloading);
    }
    if (uploading > 0) {
        counts << QString::fromUtf8(kTipUploading).arg(uploading);
    }
    if (waiting > 0) {
        counts << QString::fromUtf8(kTipWaiting).arg(waiting);
    }
    return counts.isEmpty() ? base : base + QLatin1Char('\n') + counts.join(QStringLiteral(", "));
}

QString CSystemTray::TipText(const QString& base, int downloading, int uploading, int waiting,
                             const QString& lastLine) {
    const QString tip = TipText(base, downloading, uploading, waiting);
    return lastLine.isEmpty() ? tip : tip + QLatin1Char('\n') + lastLine;
}

void CSystemTray::SetLastLine(const QString& line) {
    lastLine_ = line;
    SetTransferCounts(downloading_, uploading_, waiting_);
}

void CSystemTray::SetTransferCounts(int downloading, int uploading, int waiting) {
    downloading_ = downloading;
    uploading_ = uploading;
    waiting_ = waiting;
    if (!iconAdded_) {
        return;
    }
    const QString tip = TipText(baseTip_, downloading, uploading, waiting, lastLine_);
    if (tip != tip_) {  // the refresh runs often; the tray is told only of changes
        tip_ = tip;
        icon_->setToolTip(tip_);
    }
}

void CSystemTray::HideFromTray() {
    if (!iconAdded_ || iconHidden_) {
        return;
    }
    icon_->hide();
    iconHidden_ = true;
}

}  // namespace brindle
