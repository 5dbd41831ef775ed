// What the program tells the window manager about its top-level windows, and what it asks of it, on an
// X11 display (Qt's xcb platform). On any other platform (the offscreen tests) these do nothing.
#pragma once

#include <QMargins>

class QWidget;

namespace ui {

// Declares a window with a caption and a thin border but no system menu and no minimise, maximise or
// close box (Motif window-manager hints: move is the only function offered). Call before the window is
// first shown; the window's native handle is created if needed.
void DeclareCaptionOnly(QWidget& window);

// The frame the window manager puts around the window (_NET_FRAME_EXTENTS): already known for a mapped
// window, asked for with _NET_REQUEST_FRAME_EXTENTS for one not yet shown and awaited up to timeoutMs.
// Empty margins without a window manager that supports the request, or when it does not answer in time.
QMargins FrameExtents(QWidget& window, int timeoutMs);

}  // namespace ui
