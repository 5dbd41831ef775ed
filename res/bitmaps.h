// Our own bitmap resources in source form: the digit strip (bitmap 135) that the progress notice draws
// its percentage from, and the window icon. Both are XPM images kept as text in this folder.
#pragma once

namespace res {

constexpr int IDB_BACKGROUND = 131;
constexpr int IDB_DIGIT_STRIP = 135;

// Digit strip geometry: cells at x = 8k for the digits 0..9, the percent sign at x = 80 (12 pixels wide),
// glyphs in rows 0..9.
constexpr int DIGIT_STRIP_WIDTH = 96;
constexpr int DIGIT_STRIP_HEIGHT = 16;
constexpr int DIGIT_CELL_WIDTH = 8;
constexpr int PERCENT_CELL_WIDTH = 12;
constexpr int DIGIT_GLYPH_HEIGHT = 10;

// The main view's background picture size.
constexpr int BACKGROUND_WIDTH = 526;
constexpr int BACKGROUND_HEIGHT = 394;

// XPM text arrays, ready for an image reader.
const char* const* DigitStripXpm();
const char* const* AppIconXpm();

}  // namespace res
