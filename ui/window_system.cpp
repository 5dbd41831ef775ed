// The X11 requests behind the window-manager hints, on Qt's own xcb connection. The only file of the
// program that speaks X11: everything else goes through Qt.
#include "ui/window_system.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/clock.h"

namespace ui {
namespace {

// The Motif hints record (_MOTIF_WM_HINTS, five 32-bit fields) and the bits used here.
constexpr uint32_t MWM_HINTS_FUNCTIONS = 1u << 0;
constexpr uint32_t MWM_HINTS_DECORATIONS = 1u << 1;
constexpr uint32_t MWM_FUNC_MOVE = 1u << 2;
constexpr uint32_t MWM_DECOR_BORDER = 1u << 1;
constexpr uint32_t MWM_DECOR_TITLE = 1u << 3;

constexpr uint32_t EXTENTS_POLL_MS = 5;

xcb_connection_t* XcbConnection() {
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (reply != nullptr) {
        atom = reply->atom;
    }
    std::free(reply);
    return atom;
}

xcb_window_t RootOf(xcb_connection_t* connection) {
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    if (screens.rem <= 0) {
        return XCB_WINDOW_NONE;
    }
    return screens.data->root;
}

// The 32-bit items of a window property (at most `count`); empty when it is missing or of another form.
std::vector<uint32_t> ReadCardinals(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                                    xcb_atom_t type, uint32_t count) {
    std::vector<uint32_t> values;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, type, 0, count), nullptr);
    if (reply != nullptr && reply->format == 32) {
        const auto* items = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        values.assign(items, items + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return values;
}

// True when the running window manager lists the atom among what it supports (_NET_SUPPORTED).
bool WindowManagerSupports(xcb_connection_t* connection, xcb_atom_t atom) {
    const std::vector<uint32_t> supported = ReadCardinals(
        connection, RootOf(connection), InternAtom(connection, "_NET_SUPPORTED"), XCB_ATOM_ATOM, 1024);
    for (const uint32_t item : supported) {
        if (item == atom) {
            return true;
        }
    }
    return false;
}

}  // namespace

void DeclareCaptionOnly(QWidget& window) {
    xcb_connection_t* connection = XcbConnection();
    if (connection == nullptr) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t hintsAtom = InternAtom(connection, "_MOTIF_WM_HINTS");
    // flags, functions, decorations, input mode, status
    const uint32_t hints[5] = {MWM_HINTS_FUNCTIONS | MWM_HINTS_DECORATIONS, MWM_FUNC_MOVE,
                               MWM_DECOR_BORDER | MWM_DECOR_TITLE, 0, 0};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, hintsAtom, hintsAtom, 32, 5, hints);
    xcb_flush(connection);
}

QMargins FrameExtents(QWidget& window, int timeoutMs) {
    if (window.isVisible() && window.frameGeometry() != window.geometry()) {
        const QRect frame = window.frameGeometry();
        const QRect client = window.geometry();
        return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                        frame.right() - client.right(), frame.bottom() - client.bottom());
    }
    xcb_connection_t* connection = XcbConnection();
    if (connection == nullptr) {
        return QMargins();
    }
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t request = InternAtom(connection, "_NET_REQUEST_FRAME_EXTENTS");
    const xcb_atom_t extentsAtom = InternAtom(connection, "_NET_FRAME_EXTENTS");
    std::vector<uint32_t> extents = ReadCardinals(connection, id, extentsAtom, XCB_ATOM_CARDINAL, 4);
    if (extents.size() != 4) {
        if (!WindowManagerSupports(connection, request)) {
            return QMargins();
        }
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = id;
        message.type = request;
        xcb_send_event(connection, 0, RootOf(connection),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(connection);
        // The answer is a property change on our window; reading the property is enough to see it. The
        // pauses are the program clock's, like every other wait (a virtual clock runs through them).
        const Deadline deadline(static_cast<uint32_t>(std::max(timeoutMs, 0)));
        while (extents.size() != 4 && !deadline.Expired() && !WaitsCut()) {
            DelayMs(EXTENTS_POLL_MS);
            extents = ReadCardinals(connection, id, extentsAtom, XCB_ATOM_CARDINAL, 4);
        }
    }
    if (extents.size() != 4) {
        return QMargins();
    }
    // left, right, top, bottom
    return QMargins(static_cast<int>(extents[0]), static_cast<int>(extents[2]), static_cast<int>(extents[1]),
                    static_cast<int>(extents[3]));
}

}  // namespace ui
