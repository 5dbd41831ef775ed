// Our own bitmap resources in source form: the digit strip (bitmap 135) that the progress notice draws
// its percentage from, and the window icon. Both are XPM images kept as text in this folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// One character of the notice's percentage: where it goes in the picture (x from the picture's left,
// y from its bottom edge B), which strip cell it comes from and how wide it is.
struct PercentageGlyph {
    int x = 0;
    int yFromBottom = 0;
    int stripX = 0;
    int width = 0;
};
// The glyphs of "%3d:" for value (':' is the percent sign), character i at (140 + 8i, B-27) from strip
// x = 8 * (c - '0'); blanks and signs have no glyph. Returns how many of glyphs were filled.
int PercentageGlyphs(int value, PercentageGlyph (&glyphs)[4]);

// The main view's background picture size.
constexpr int BACKGROUND_WIDTH = 526;
constexpr int BACKGROUND_HEIGHT = 394;

// XPM text arrays, ready for an image reader.
const char* const* DigitStripXpm();
const char* const* AppIconXpm();

// An XPM image decoded without any toolkit: pixels row by row as 0xRRGGBB, "None" (transparent) as
// black. Width and height are 0 when the text is not an XPM image this reader knows (one or two
// characters per pixel, colours as "c #RRGGBB" or "c None").
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};
RgbImage DecodeXpm(const char* const* xpm);

}  // namespace res
