#include "ui/splash_screen.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

namespace brindle {

// Kept above the main window, which appears while the picture is still up.
CSplashScreen::CSplashScreen(const QPixmap& picture)
    : QSplashScreen(picture, Qt::WindowStaysOnTopHint) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void CSplashScreen::CloseSplash() {
    closeAllowed_ = true;
    close();
}

void CSplashScreen::closeEvent(QCloseEvent* event) {
    if (!closeAllowed_) {
        event->ignore();
        return;
    }
    QSplashScreen::closeEvent(event);
}

// QSplashScreen hides itself on a click; here a click only takes hold of it.
void CSplashScreen::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    // The window manager moves it where it can (X11, Wayland); otherwise it
    // follows the mouse by hand.
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
        event->accept();
        return;
    }
    dragging_ = true;
    grabOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
}

void CSplashScreen::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        move(event->globalPosition().toPoint() - grabOffset_);
    }
    event->accept();
}

void CSplashScreen::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    event->accept();
}

}  // namespace brindle
