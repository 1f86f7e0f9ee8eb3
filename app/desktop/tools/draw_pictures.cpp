// Draws the program's pictures: the product picture of the main window and splash
// (480 x 340) and the maker's logo of the About box. Run once after changing the
// drawing; its output is kept in app/desktop/pictures/.
//   draw_pictures OUTPUT_FOLDER
#include <QApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>

namespace {

const QColor kNavy(16, 42, 84);
const QColor kTeal(0, 128, 140);
const QColor kSteel(176, 184, 196);

// A rotary encoder seen from the front left: round flange, housing and shaft.
void drawEncoder(QPainter& p, QPointF centre, double r) {
    QLinearGradient housing(centre.x() - r, 0, centre.x() + r, 0);
    housing.setColorAt(0, QColor(90, 98, 110));
    housing.setColorAt(0.45, QColor(225, 230, 236));
    housing.setColorAt(1, QColor(70, 76, 88));
    p.setPen(QPen(QColor(40, 44, 52), 2));
    p.setBrush(housing);
    const double depth = r * 1.1;
    p.drawRect(QRectF(centre.x() - r, centre.y(), 2 * r, depth));
    p.drawEllipse(QRectF(centre.x() - r, centre.y() + depth - r * 0.35, 2 * r, r * 0.7));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(centre.x() - r + 1, centre.y(), 2 * r - 2, depth));
    p.setPen(QPen(QColor(40, 44, 52), 2));
    QRadialGradient face(centre, r);
    face.setColorAt(0, QColor(240, 242, 246));
    face.setColorAt(1, kSteel);
    p.setBrush(face);
    p.drawEllipse(QRectF(centre.x() - r, centre.y() - r * 0.35, 2 * r, r * 0.7));
    // Flange holes.
    p.setBrush(QColor(60, 64, 72));
    for (int i = 0; i < 3; ++i) {
        const double a = 3.14159 * (0.3 + 0.7 * i);
        p.drawEllipse(
            QPointF(centre.x() + std::cos(a) * r * 0.78, centre.y() + std::sin(a) * r * 0.26),
            r * 0.06, r * 0.025);
    }
    // Shaft.
    QLinearGradient shaft(centre.x() - r * 0.12, 0, centre.x() + r * 0.12, 0);
    shaft.setColorAt(0, QColor(120, 126, 136));
    shaft.setColorAt(0.5, QColor(250, 250, 252));
    shaft.setColorAt(1, QColor(110, 116, 126));
    p.setBrush(shaft);
    p.drawRect(QRectF(centre.x() - r * 0.12, centre.y() - r * 0.9, r * 0.24, r * 0.9));
    p.drawEllipse(QRectF(centre.x() - r * 0.12, centre.y() - r * 0.95, r * 0.24, r * 0.1));
    // Cable gland.
    p.setBrush(QColor(30, 30, 34));
    p.drawRect(QRectF(centre.x() + r * 0.55, centre.y() + depth * 0.55, r * 0.9, r * 0.22));
}

QImage productPicture() {
    QImage image(480, 340, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 480, 340);
    sky.setColorAt(0, kNavy);
    sky.setColorAt(1, kTeal);
    p.fillRect(image.rect(), sky);
    // Circuit traces behind the device.
    p.setPen(QPen(QColor(255, 255, 255, 40), 2));
    for (int i = 0; i < 9; ++i) {
        const int y = 40 + i * 32;
        p.drawLine(0, y, 150 + (i % 3) * 30, y);
        p.drawLine(150 + (i % 3) * 30, y, 180 + (i % 3) * 30, y + 16);
        p.drawEllipse(QPointF(180 + (i % 3) * 30, y + 16), 3, 3);
    }
    drawEncoder(p, QPointF(350, 150), 80);

    p.setPen(Qt::white);
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(54);
    title.setBold(true);
    p.setFont(title);
    p.drawText(QRectF(24, 200, 300, 64), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Romtide"));
    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(17);
    p.setFont(sub);
    p.drawText(QRectF(28, 262, 230, 24), Qt::AlignLeft, QStringLiteral("Firmware update over"));
    p.drawText(QRectF(28, 282, 230, 24), Qt::AlignLeft, QStringLiteral("CAN and Profibus"));
    QFont maker(QStringLiteral("DejaVu Sans"));
    maker.setPixelSize(14);
    maker.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    p.setFont(maker);
    p.setPen(QColor(255, 255, 255, 200));
    p.drawText(QRectF(28, 312, 440, 24), Qt::AlignLeft, QStringLiteral("KORVANE ELECTRIC"));
    return image;
}

QImage makerLogo() {
    QImage image(176, 64, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kNavy);
    p.drawRoundedRect(QRectF(4, 8, 48, 48), 8, 8);
    p.setPen(QPen(Qt::white, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(18, 18), QPointF(18, 46));
    p.drawLine(QPointF(40, 18), QPointF(20, 32));
    p.drawLine(QPointF(24, 30), QPointF(40, 46));
    p.setPen(kNavy);
    QFont name(QStringLiteral("DejaVu Sans"));
    name.setPixelSize(20);
    name.setBold(true);
    p.setFont(name);
    p.drawText(QRectF(58, 10, 116, 28), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("KORVANE"));
    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPixelSize(10);
    small.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(small);
    p.setPen(kTeal);
    p.drawText(QRectF(59, 36, 116, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("ELECTRIC"));
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_pictures OUTPUT_FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const bool ok = productPicture().save(folder + QStringLiteral("/product.png")) &&
                    makerLogo().save(folder + QStringLiteral("/korvane_logo.png"));
    return ok ? 0 : 1;
}
