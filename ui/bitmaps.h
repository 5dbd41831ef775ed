// The bitmaps as images: the digit strip (bitmap 135) read from its XPM source, the main view's
// 526 x 394 background picture (bitmap 131) drawn from code in 256 colours, and the window icon.
#pragma once

#include <QIcon>
#include <QImage>

namespace ui {

// The 96 x 16 digit strip in RGB32; a null image if the source cannot be read.
QImage LoadDigitStrip();

// The background picture: a 526 x 394 image with a 256-entry colour table (QImage::Format_Indexed8).
QImage CreateBackgroundPicture();

QIcon LoadAppIcon();

}  // namespace ui
