// Bitmaps from their sources. The background picture is our own design, drawn at start-up: a deep
// blue-to-teal gradient, a camera silhouette and the product name, reduced to a 256-colour table.
#include "ui/bitmaps.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

#include "res/bitmaps.h"

namespace ui {
namespace {

constexpr int GRADIENT_STEPS = 160;

QColor GradientColour(int step) {
    // Deep blue at the top to teal at the bottom.
    const int r = 8 + step * 16 / GRADIENT_STEPS;
    const int g = 24 + step * 96 / GRADIENT_STEPS;
    const int b = 72 + step * 64 / GRADIENT_STEPS;
    return QColor(r, g, b);
}

// The colour table: the gradient ramp, a grey ramp and a blue ramp for the lens.
QList<QRgb> BuildColourTable() {
    QList<QRgb> table;
    table.reserve(256);
    for (int i = 0; i < GRADIENT_STEPS; ++i) {
        table.append(GradientColour(i).rgb());
    }
    for (int i = 0; i < 64; ++i) {
        const int v = i * 255 / 63;
        table.append(qRgb(v, v, v));
    }
    for (int i = 0; i < 32; ++i) {
        table.append(qRgb(i * 3, 40 + i * 5, 96 + i * 5));
    }
    return table;
}

void DrawCamera(QPainter& painter, const QRectF& body) {
    const QColor outline(16, 16, 20);
    painter.setPen(QPen(outline, 3));
    // Viewfinder hump and shutter button on top of the body.
    painter.setBrush(QColor(70, 74, 80));
    painter.drawRoundedRect(QRectF(body.left() + 40, body.top() - 22, 70, 30), 6, 6);
    painter.drawRoundedRect(QRectF(body.right() - 70, body.top() - 12, 36, 16), 4, 4);
    // Body.
    QLinearGradient shade(body.topLeft(), body.bottomLeft());
    shade.setColorAt(0.0, QColor(150, 154, 160));
    shade.setColorAt(1.0, QColor(60, 64, 70));
    painter.setBrush(shade);
    painter.drawRoundedRect(body, 14, 14);
    // Lens: barrel, ring and glass.
    const QPointF centre = body.center() + QPointF(0, 6);
    painter.setBrush(QColor(40, 42, 46));
    painter.drawEllipse(centre, 62, 62);
    painter.setBrush(QColor(100, 104, 110));
    painter.drawEllipse(centre, 48, 48);
    QRadialGradient glass(centre - QPointF(12, 12), 44);
    glass.setColorAt(0.0, QColor(90, 190, 255));
    glass.setColorAt(1.0, QColor(0, 40, 96));
    painter.setBrush(glass);
    painter.drawEllipse(centre, 38, 38);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255));
    painter.drawEllipse(centre - QPointF(14, 14), 7, 7);
    // Flash window.
    painter.setPen(QPen(outline, 2));
    painter.setBrush(QColor(230, 230, 230));
    painter.drawRect(QRectF(body.right() - 64, body.top() + 16, 40, 20));
}

}  // namespace

QImage LoadDigitStrip() {
    const QImage strip(res::DigitStripXpm());
    if (strip.isNull()) {
        return QImage();
    }
    return strip.convertToFormat(QImage::Format_RGB32);
}

QImage CreateBackgroundPicture() {
    QImage canvas(res::BACKGROUND_WIDTH, res::BACKGROUND_HEIGHT, QImage::Format_RGB32);
    for (int y = 0; y < canvas.height(); ++y) {
        const QRgb colour = GradientColour(y * (GRADIENT_STEPS - 1) / (canvas.height() - 1)).rgb();
        auto* line = reinterpret_cast<QRgb*>(canvas.scanLine(y));
        for (int x = 0; x < canvas.width(); ++x) {
            line[x] = colour;
        }
    }
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing, true);
        DrawCamera(painter, QRectF(153, 92, 220, 140));

        QFont title;
        title.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
        title.setPixelSize(30);
        title.setBold(true);
        painter.setFont(title);
        painter.setPen(QColor(255, 255, 255));
        painter.drawText(QRect(0, 262, canvas.width(), 40), Qt::AlignCenter,
                         QStringLiteral("Corva QX410 Zoom"));

        QFont subtitle = title;
        subtitle.setPixelSize(16);
        subtitle.setBold(false);
        painter.setFont(subtitle);
        painter.setPen(QColor(200, 220, 230));
        painter.drawText(QRect(0, 304, canvas.width(), 24), Qt::AlignCenter,
                         QStringLiteral("Digital Camera Firmware Update"));
        painter.setPen(QPen(QColor(200, 220, 230), 1));
        painter.drawLine(163, 334, 363, 334);
    }
    return canvas.convertToFormat(QImage::Format_Indexed8, BuildColourTable(), Qt::ThresholdDither);
}

QIcon LoadAppIcon() {
    return QIcon(QPixmap(res::AppIconXpm()));
}

}  // namespace ui
