// Embeds the XPM sources of the digit strip and the window icon.
#include "res/bitmaps.h"

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

}  // namespace res
