// Dialog units: dialog geometry given in quarters of the average character
// width and eighths of the character height, so a dialog scales with its font.
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QWidget>

namespace brindle {

class DialogUnits {
  public:
    explicit DialogUnits(const QWidget& dialog) {
        const QFontMetrics metrics(dialog.font());
        static const QString kAlphabet =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX_ = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
        baseY_ = metrics.height();
    }
    [[nodiscard]] int X(int units) const { return units * baseX_ / 4; }
    [[nodiscard]] int Y(int units) const { return units * baseY_ / 8; }
    [[nodiscard]] QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }
    [[nodiscard]] QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

  private:
    int baseX_ = 6;
    int baseY_ = 13;
};

}  // namespace brindle
