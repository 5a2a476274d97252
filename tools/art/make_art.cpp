// Draws Brindlenet's own pictures: the application icon (a brindled tile with
// three linked peers) at the sizes a desktop asks for and as SVG, and the 492 x 276
// splash picture. Usage: brindlenet-make-art RESOURCES_DIR
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtGui/QFont>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QRadialGradient>

#include <cstdio>
#include <vector>

namespace {

const QColor kAmber(0xd8, 0x93, 0x3f);
const QColor kBrown(0x6b, 0x3b, 0x16);
const QColor kDark(0x2b, 0x16, 0x08);
const QColor kCream(0xff, 0xf4, 0xe0);

// Wavy dark stripes running down and to the right, the brindle coat.
struct Stripe {
    QPainterPath path;
    qreal width;
};

std::vector<Stripe> Stripes(const QRectF& area, int count, qreal width) {
    std::vector<Stripe> stripes;
    const qreal step = (area.width() + area.height()) / count;
    for (int i = 0; i < count; ++i) {
        const qreal x0 = area.left() - area.height() * 0.6 + i * step;
        const qreal wobble = (i % 2 == 0) ? 0.18 : -0.14;
        QPainterPath stripe(QPointF(x0, area.top() - 4));
        stripe.cubicTo(
            QPointF(x0 + area.height() * (0.25 + wobble), area.top() + area.height() * 0.3),
            QPointF(x0 + area.height() * (0.35 - wobble), area.top() + area.height() * 0.65),
            QPointF(x0 + area.height() * 0.6, area.bottom() + 4));
        stripes.push_back({stripe, width * (0.7 + 0.3 * ((i * 7) % 5) / 4.0)});
    }
    return stripes;
}

void DrawStripes(QPainter& p, const QRectF& area, int count, qreal width, int alpha) {
    p.save();
    QPen pen(QColor(kDark.red(), kDark.green(), kDark.blue(), alpha));
    pen.setCapStyle(Qt::RoundCap);
    for (const Stripe& stripe : Stripes(area, count, width)) {
        pen.setWidthF(stripe.width);
        p.setPen(pen);
        p.drawPath(stripe.path);
    }
    p.restore();
}

// Three peers linked to each other, in a 256-unit box.
const QPointF kPeers[] = {{128, 78}, {70, 176}, {186, 176}};

void DrawPeers(QPainter& p, qreal lineWidth, qreal nodeRadius) {
    const auto& nodes = kPeers;
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

// The icon's shapes in its 256-unit box. Small sizes fill more of the box
// with fewer, bolder strokes, so they stay legible.
struct IconStyle {
    QRectF tile;
    int stripes;
    qreal stripeWidth;
    int stripeAlpha;
    qreal outlineWidth;
    qreal linkWidth;
    qreal nodeRadius;
};
const IconStyle kLargeIcon{QRectF(14, 14, 228, 228), 7, 16, 120, 5, 14, 26};
const IconStyle kSmallIcon{QRectF(4, 4, 248, 248), 4, 22, 90, 10, 22, 34};
constexpr qreal kCorner = 46;

// The icon in a 256-unit box, scaled to `size` pixels.
QImage DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    const IconStyle& style = size <= 24 ? kSmallIcon : kLargeIcon;
    const QRectF& tile = style.tile;
    QPainterPath shape;
    shape.addRoundedRect(tile, kCorner, kCorner);
    QLinearGradient coat(tile.topLeft(), tile.bottomRight());
    coat.setColorAt(0, kAmber);
    coat.setColorAt(1, kBrown);
    p.fillPath(shape, coat);
    p.save();
    p.setClipPath(shape);
    DrawStripes(p, tile, style.stripes, style.stripeWidth, style.stripeAlpha);
    p.restore();
    p.setPen(QPen(kDark, style.outlineWidth));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shape);
    DrawPeers(p, style.linkWidth, style.nodeRadius);
    return image;
}

QString Number(qreal value) {
    return QString::number(value, 'f', 2);
}

QString Point(const QPointF& point) {
    return Number(point.x()) + "," + Number(point.y());
}

// The large icon as SVG, drawn from the same shapes as DrawIcon, for desktops
// that scale it to any size.
QString IconSvg() {
    const IconStyle& style = kLargeIcon;
    const QRectF& tile = style.tile;
    QString svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg +=
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
        "viewBox=\"0 0 256 256\">\n";
    svg += "  <defs>\n";
    svg += QString(
               "    <linearGradient id=\"coat\" gradientUnits=\"userSpaceOnUse\" x1=\"%1\" "
               "y1=\"%2\" x2=\"%3\" y2=\"%4\">\n")
               .arg(Number(tile.left()), Number(tile.top()), Number(tile.right()),
                    Number(tile.bottom()));
    svg += QString("      <stop offset=\"0\" stop-color=\"%1\"/>\n").arg(kAmber.name());
    svg += QString("      <stop offset=\"1\" stop-color=\"%1\"/>\n").arg(kBrown.name());
    svg += "    </linearGradient>\n";
    // Each peer's shine sits up and to the left of its middle.
    svg += "    <radialGradient id=\"shine\" cx=\"0.3333\" cy=\"0.3333\" r=\"0.7\">\n";
    svg += "      <stop offset=\"0\" stop-color=\"#ffffff\"/>\n";
    svg += QString("      <stop offset=\"1\" stop-color=\"%1\"/>\n").arg(kCream.darker(112).name());
    svg += "    </radialGradient>\n";
    const QString tileRect = QString("x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\"")
                                 .arg(Number(tile.left()), Number(tile.top()), Number(tile.width()),
                                      Number(tile.height()), Number(kCorner));
    svg += "    <clipPath id=\"tile\"><rect " + tileRect + "/></clipPath>\n";
    svg += "  </defs>\n";
    svg += "  <rect " + tileRect + " fill=\"url(#coat)\"/>\n";
    svg += QString(
               "  <g clip-path=\"url(#tile)\" fill=\"none\" stroke=\"%1\" "
               "stroke-opacity=\"%2\" stroke-linecap=\"round\">\n")
               .arg(kDark.name(), Number(style.stripeAlpha / 255.0));
    for (const Stripe& stripe : Stripes(tile, style.stripes, style.stripeWidth)) {
        const QPainterPath& path = stripe.path;
        svg += QString("    <path d=\"M%1 C%2 %3 %4\" stroke-width=\"%5\"/>\n")
                   .arg(Point(path.elementAt(0)), Point(path.elementAt(1)),
                        Point(path.elementAt(2)), Point(path.elementAt(3)), Number(stripe.width));
    }
    svg += "  </g>\n";
    svg += QString("  <rect %1 fill=\"none\" stroke=\"%2\" stroke-width=\"%3\"/>\n")
               .arg(tileRect, kDark.name(), Number(style.outlineWidth));
    svg += QString(
               "  <path d=\"M%1 L%2 L%3 Z\" fill=\"none\" stroke=\"%4\" "
               "stroke-width=\"%5\" stroke-linecap=\"round\" stroke-linejoin=\"round\"/>\n")
               .arg(Point(kPeers[0]), Point(kPeers[1]), Point(kPeers[2]), kCream.name(),
                    Number(style.linkWidth));
    for (const QPointF& node : kPeers) {
        svg += QString(
                   "  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"url(#shine)\" "
                   "stroke=\"%4\" stroke-width=\"%5\"/>\n")
                   .arg(Number(node.x()), Number(node.y()), Number(style.nodeRadius), kDark.name(),
                        Number(style.linkWidth * 0.45));
    }
    svg += "</svg>\n";
    return svg;
}

bool SaveText(const QString& text, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0 ||
        !file.flush()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
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
    ok = SaveText(IconSvg(), dir.filePath("icons/brindlenet.svg")) && ok;
    ok = Save(DrawSplash(DrawIcon(320)), dir.filePath("splash.png")) && ok;
    return ok ? 0 : 1;
}
