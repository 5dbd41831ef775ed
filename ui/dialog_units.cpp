// Dialog units to pixels, from the metrics of each template's font.
#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <QStringList>

namespace ui {

QFont TemplateFont(const res::DialogTemplate& dialog) {
    QFont font;
    // Liberation Sans has Arial's metrics; it also stands in for the old bitmap "MS Sans Serif".
    font.setFamilies(QStringList{QString::fromLatin1(dialog.fontFace), QStringLiteral("Liberation Sans")});
    // Character height in pixels at 96 dpi, rounded as MulDiv(pt, 96, 72) rounds.
    const int pixelSize = (dialog.pointSize * 96 + 36) / 72;
    font.setPixelSize(pixelSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QSize DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabetWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((alphabetWidth + 26) / 52, metrics.height());
}

QRect MapDialogRect(const res::DialogRect& rect, QSize baseUnits) {
    const int bx = baseUnits.width();
    const int by = baseUnits.height();
    return QRect(rect.x * bx / 4, rect.y * by / 8, rect.cx * bx / 4, rect.cy * by / 8);
}

}  // namespace ui
