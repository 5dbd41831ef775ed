// The progress notice's picture as a pixel model, without any toolkit: what each pixel of a notice
// picture must be after painting value v, for every painter of the notice (the Qt picture and the GDI
// one are both checked against it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

namespace testsupport {

constexpr uint32_t NOTICE_WHITE = 0xFFFFFF, NOTICE_BLACK = 0x000000, NOTICE_BLUE = 0x0000FF;

// The pixel at (x, y) of a picture whose bottom edge is b, over a background colour: black frame
// x 9..310, y b-31..b-12; inside, white; the bar blue over x 10..9+3v, y b-30..b-13, over the frame
// and beyond it for values past 100; "%3d:" XOR-ed in from the strip at
// (140 + 8i, b-27), ':' being the 12-pixel percent sign. isGlyph(sx, sy) tells whether the strip's
// pixel is lit.
inline uint32_t ExpectedNoticePixel(const std::function<bool(int, int)>& isGlyph, int v, int x, int y, int b,
                                    uint32_t background) {
    // The bar is not clamped: past 100 it runs over the frame's right edge and on to the picture's.
    const bool inBar = y >= b - 30 && y <= b - 13 && x >= 10 && x < 10 + 3 * v;
    if (!inBar && (x < 9 || x > 310 || y < b - 31 || y > b - 12)) {
        return background;
    }
    if (!inBar && (x == 9 || x == 310 || y == b - 31 || y == b - 12)) {
        return NOTICE_BLACK;
    }
    const uint32_t base = inBar ? NOTICE_BLUE : NOTICE_WHITE;
    char text[8];
    std::snprintf(text, sizeof text, "%3d:", v);
    for (int cell = 0, col = x - 140, row = y - (b - 27); cell < 4; ++cell, col -= 8) {
        const char c = text[cell];
        if (c >= '0' && c <= ':' && col >= 0 && col < (c == ':' ? 12 : 8) && row >= 0 && row < 10 &&
            isGlyph(8 * (c - '0') + col, row)) {
            return base == NOTICE_WHITE ? NOTICE_BLUE : NOTICE_WHITE;
        }
    }
    return base;
}

}  // namespace testsupport
