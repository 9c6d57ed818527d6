// Draws the two background templates of the card pictures: card-like
// 1070 x 681 backgrounds with a light guilloche pattern, our own artwork.
//   dorvent-card-templates FRONT.jpg BACK.jpg
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kWidth = 1070;
constexpr int kHeight = 681;
constexpr double kPi = 3.14159265358979323846;

// Horizontal waves of slowly changing phase: the woven band of banknotes.
void drawWaves(QPainter &p, const QColor &colour, double amplitude, double wavelength, int lines)
{
    p.setPen(QPen(colour, 0.8));
    for (int i = 0; i < lines; ++i) {
        const double y0 = kHeight * (i + 0.5) / lines;
        const double phase = i * 0.35;
        QPainterPath path;
        for (int x = 0; x <= kWidth; x += 3) {
            const double y = y0 + amplitude * std::sin(2 * kPi * x / wavelength + phase)
                             + amplitude * 0.4 * std::sin(2 * kPi * x / (wavelength * 2.7) - phase);
            x == 0 ? path.moveTo(x, y) : path.lineTo(x, y);
        }
        p.drawPath(path);
    }
}

// A spirograph rosette (hypotrochoid), drawn several times slightly turned.
void drawRosette(QPainter &p, const QPointF &centre, double R, double r, double d, const QColor &colour, int turns)
{
    p.setPen(QPen(colour, 0.9));
    for (int k = 0; k < turns; ++k) {
        const double turn = k * 2 * kPi / (turns * 9.0);
        QPainterPath path;
        const int steps = 3600;
        for (int i = 0; i <= steps; ++i) {
            const double t = 2 * kPi * 7 * i / steps;
            const double x = (R - r) * std::cos(t) + d * std::cos((R - r) / r * t);
            const double y = (R - r) * std::sin(t) - d * std::sin((R - r) / r * t);
            const QPointF pt(centre.x() + x * std::cos(turn) - y * std::sin(turn),
                             centre.y() + x * std::sin(turn) + y * std::cos(turn));
            i == 0 ? path.moveTo(pt) : path.lineTo(pt);
        }
        p.drawPath(path);
    }
}

QImage card(const QColor &top, const QColor &bottom, const QColor &ink, const QPointF &rosette)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QPainterPath outline;
    outline.addRoundedRect(QRectF(6, 6, kWidth - 12, kHeight - 12), 36, 36);
    QLinearGradient gradient(0, 0, kWidth, kHeight);
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    p.fillPath(outline, gradient);
    p.setClipPath(outline);

    QColor wave = ink;
    wave.setAlpha(40);
    drawWaves(p, wave, 9, 140, 46);
    QColor ring = ink;
    ring.setAlpha(70);
    drawRosette(p, rosette, 150, 42, 95, ring, 6);
    drawRosette(p, rosette, 95, 26, 60, ring, 4);

    p.setClipping(false);
    p.setPen(QPen(QColor(190, 200, 210), 2));
    p.drawPath(outline);
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FRONT.jpg BACK.jpg\n", argv[0]);
        return 2;
    }
    const QImage front = card(QColor(238, 246, 250), QColor(250, 246, 232), QColor(70, 140, 170), QPointF(820, 300));
    const QImage back = card(QColor(236, 244, 251), QColor(246, 240, 228), QColor(80, 120, 170), QPointF(195, 215));
    if (!front.save(QString::fromLocal8Bit(argv[1]), "JPEG", 92) || !back.save(QString::fromLocal8Bit(argv[2]), "JPEG", 92)) {
        std::fprintf(stderr, "%s: cannot write the templates\n", argv[0]);
        return 1;
    }
    return 0;
}
