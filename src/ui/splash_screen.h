// The start-up picture: borderless, centred, on screen until CloseSplash.
// The user cannot close it; dragging it with the left button moves it.
#pragma once

#include <QPoint>
#include <QSplashScreen>

namespace brindle {

class CSplashScreen : public QSplashScreen {
    Q_OBJECT
  public:
    explicit CSplashScreen(const QPixmap& picture);

    // Allows the close and closes the picture.
    void CloseSplash();
    [[nodiscard]] bool closeAllowed() const { return closeAllowed_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    bool closeAllowed_ = false;
    bool dragging_ = false;
    QPoint grabOffset_;  // where in the picture the mouse took hold of it
};

}  // namespace brindle
