// Turns dialog-template geometry into pixels: a template's font becomes a QFont of the same pixel
// height, its dialog base units come from that font's metrics, and dialog units scale by them
// (x px = du * baseX / 4, y px = du * baseY / 8) as the templates were laid out.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

#include "res/dialog_templates.h"

namespace ui {

// The font of a template: the face ("Arial" resolves to the metric-compatible Liberation Sans) at the
// point size taken at 96 pixels per inch, so the layout does not depend on the screen's reported DPI.
QFont TemplateFont(const res::DialogTemplate& dialog);

// Dialog base units of a font: the average width of "A".."Z" "a".."z" and the font height.
QSize DialogBaseUnits(const QFont& font);

// A rectangle in dialog units converted with the given base units.
QRect MapDialogRect(const res::DialogRect& rect, QSize baseUnits);

}  // namespace ui
