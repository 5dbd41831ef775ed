// The main view's background picture (bitmap 131) on Win32: 526 x 394 pixels of our own design drawn
// with GDI at start-up (a deep blue-to-teal gradient, a camera silhouette and the product name).
#pragma once

#include <windows.h>

namespace ui_win32 {

// The picture as a DIB section; the caller deletes it. Null when it could not be made.
HBITMAP CreateBackgroundPicture();

}  // namespace ui_win32
