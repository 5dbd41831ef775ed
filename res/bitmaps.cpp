// Embeds the XPM sources of the digit strip and the window icon, and reads them without a toolkit.
#include "res/bitmaps.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {
#include "app_icon.xpm"
#include "digit_strip.xpm"
}  // namespace

namespace res {

const char* const* DigitStripXpm() {
    return digit_strip_xpm;
}

const char* const* AppIconXpm() {
    return app_icon_xpm;
}

int PercentageGlyphs(int value, PercentageGlyph (&glyphs)[4]) {
    char digits[16] = {};
    std::snprintf(digits, sizeof digits, "%3d:", value);
    int count = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = digits[i];
        if (c < '0' || c > ':') {
            continue;
        }
        glyphs[count++] = PercentageGlyph{140 + 8 * i, 27, DIGIT_CELL_WIDTH * (c - '0'),
                                          c == ':' ? PERCENT_CELL_WIDTH : DIGIT_CELL_WIDTH};
    }
    return count;
}

RgbImage DecodeXpm(const char* const* xpm) {
    RgbImage image;
    int width = 0, height = 0, colours = 0, perPixel = 0;
    if (xpm == nullptr || std::sscanf(xpm[0], "%d %d %d %d", &width, &height, &colours, &perPixel) != 4 ||
        width <= 0 || height <= 0 || colours <= 0 || perPixel < 1 || perPixel > 2) {
        return image;
    }
    std::map<std::string, uint32_t> table;
    for (int i = 1; i <= colours; ++i) {
        const char* line = xpm[i];
        if (std::strlen(line) < static_cast<size_t>(perPixel)) {
            return image;
        }
        const char* colour = std::strstr(line + perPixel, "c ");
        if (colour == nullptr) {
            return image;
        }
        unsigned rgb = 0;
        if (std::sscanf(colour, "c #%6x", &rgb) != 1 && std::strncmp(colour, "c None", 6) != 0) {
            return image;
        }
        table[std::string(line, static_cast<size_t>(perPixel))] = rgb;
    }
    image.pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const char* row = xpm[1 + colours + y];
        if (std::strlen(row) < static_cast<size_t>(width * perPixel)) {
            return RgbImage{};
        }
        for (int x = 0; x < width; ++x) {
            const auto found = table.find(std::string(row + x * perPixel, static_cast<size_t>(perPixel)));
            if (found == table.end()) {
                return RgbImage{};
            }
            image.pixels.push_back(found->second);
        }
    }
    image.width = width;
    image.height = height;
    return image;
}

}  // namespace res
