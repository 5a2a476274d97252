// Draws Brindlenet's own pictures: the application icon (a brindled tile with
// three linked peers) at the sizes a desktop asks for, and the 492 x 276
// splash picture. Usage: brindlenet-make-art RESOURCES_DIR
#include <QtCore/QDir>
#include <QtGui/QFont>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QRadialGradient>

#include <cstdio>

namespace {

const QColor kAmber(0xd8, 0x93, 0x3f);
const QColor kBrown(0x6b, 0x3b, 0x16);
const QColor kDark(0x2b, 0x16, 0x08);
const QColor kCream(0xff, 0xf4, 0xe0);

// Wavy dark stripes running down and to the right, the brindle coat.
void DrawStripes(QPainter& p, const QRectF& area, int count, qreal width, int alpha) {
    p.save();
    QPen pen(QColor(kDark.red(), kDark.green(), kDark.blue(), alpha));
    pen.setCapStyle(Qt::RoundCap);
    const qreal step = (area.width() + area.height()) / count;
    for (int i = 0; i < count; ++i) {
        const qreal x0 = area.left() - area.height() * 0.6 + i * step;
        const qreal wobble = (i % 2 == 0) ? 0.18 : -0.14;
        QPainterPath stripe(QPointF(x0, area.top() - 4));
        stripe.cubicTo(
            QPointF(x0 + area.height() * (0.25 + wobble), area.top() + area.height() * 0.3),
            QPointF(x0 + area.height() * (0.35 - wobble), area.top() + area.height() * 0.65),
            QPointF(x0 + area.height() * 0.6, area.bottom() + 4));
        pen.setWidthF(width * (0.7 + 0.3 * ((i * 7) % 5) / 4.0));
        p.setPen(pen);
        p.drawPath(stripe);
    }
    p.restore();
}

// Three peers linked to each other, in a 256-unit box.
void DrawPeers(QPainter& p, qreal lineWidth, qreal nodeRadius) {
    const QPointF nodes[] = {{128, 78}, {70, 176}, {186, 176}};
    QPen link(kCream, lineWidth);
    link.setCapStyle(Qt::RoundCap);
    p.setPen(link);
    for (int i = 0; i < 3; ++i) {
        p.drawLine(nodes[i], nodes[(i + 1) % 3]);
    }
    p.setPen(QPen(kDark, lineWidth * 0.45));
    for (const QPointF& node : nodes) {
        QRadialGradient shine(node - QPointF(nodeRadius / 3, nodeRadius / 3), nodeRadius * 1.4);
        shine.setColorAt(0, QColor(0xff, 0xff, 0xff));
        shine.setColorAt(1, kCream.darker(112));
        p.setBrush(shine);
        p.drawEllipse(node, nodeRadius, nodeRadius);
    }
}

// The icon in a 256-unit box, scaled to `size` pixels.
QImage DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    const bool small = size <= 24;
    const QRectF tile = small ? QRectF(4, 4, 248, 248) : QRectF(14, 14, 228, 228);
    QPainterPath shape;
    shape.addRoundedRect(tile, 46, 46);
    QLinearGradient coat(tile.topLeft(), tile.bottomRight());
    coat.setColorAt(0, kAmber);
    coat.setColorAt(1, kBrown);
    p.fillPath(shape, coat);
    p.save();
    p.setClipPath(shape);
    DrawStripes(p, tile, small ? 4 : 7, small ? 22 : 16, small ? 90 : 120);
    p.restore();
    p.setPen(QPen(kDark, small ? 10 : 5));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shape);
    DrawPeers(p, small ? 22 : 14, small ? 34 : 26);
    return image;
}

QImage DrawSplash(const QImage& icon) {
    QImage image(492, 276, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF all(0, 0, 492, 276);
    QLinearGradient night(all.topLeft(), all.bottomLeft());
    night.setColorAt(0, kDark);
    night.setColorAt(1, kBrown.darker(140));
    p.fillRect(all, night);
    p.save();
    p.setOpacity(0.35);
    DrawStripes(p, QRectF(190, 0, 302, 276), 9, 14, 255);
    p.restore();

    p.drawImage(QRectF(34, 58, 160, 160), icon);

    QFont title("DejaVu Sans", 1, QFont::Bold);
    title.setPixelSize(44);
    p.setFont(title);
    p.setPen(kCream);
    p.drawText(QRectF(214, 78, 270, 56), Qt::AlignLeft | Qt::AlignVCenter, "Brindlenet");
    p.setPen(QPen(kAmber, 3));
    p.drawLine(QPointF(216, 140), QPointF(462, 140));
    QFont version("DejaVu Sans", 1, QFont::Bold);
    version.setPixelSize(20);
    p.setFont(version);
    p.setPen(kAmber);
    p.drawText(QRectF(216, 148, 250, 28), Qt::AlignLeft | Qt::AlignVCenter, "V1.0");
    QFont line("DejaVu Sans");
    line.setPixelSize(15);
    p.setFont(line);
    p.setPen(kCream.darker(115));
    p.drawText(QRectF(216, 178, 260, 24), Qt::AlignLeft | Qt::AlignVCenter,
               "peer-to-peer file sharing");
    p.setPen(QPen(kAmber, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(1, 1, 490, 274));
    return image;
}

bool Save(const QImage& image, const QString& path) {
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: brindlenet-make-art RESOURCES_DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    dir.mkpath("icons");
    bool ok = true;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        ok = Save(DrawIcon(size), dir.filePath(QString("icons/brindlenet-%1.png").arg(size))) && ok;
    }
    ok = Save(DrawSplash(DrawIcon(320)), dir.filePath("splash.png")) && ok;
    return ok ? 0 : 1;
}
