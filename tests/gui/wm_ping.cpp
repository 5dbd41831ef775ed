// qx410-wm-ping WINDOW [TIMEOUT_MS]: sends the window manager's liveness check (_NET_WM_PING) to a
// client window, as a window manager does, and waits for the client's answer on the root window.
// Exit status 0 when it answers in time, 1 when it does not, 2 on a usage or display error.
#include <xcb/xcb.h>

#include <poll.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Interns the atoms with one round trip: every request first, then every reply.
template <size_t N>
bool InternAtoms(xcb_connection_t* connection, const char* const (&names)[N], xcb_atom_t (&atoms)[N]) {
    xcb_intern_atom_cookie_t cookies[N];
    for (size_t i = 0; i < N; ++i) {
        cookies[i] = xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    }
    bool all = true;
    for (size_t i = 0; i < N; ++i) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookies[i], nullptr);
        all = all && reply != nullptr;
        atoms[i] = reply != nullptr ? reply->atom : 0;
        std::free(reply);
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: qx410-wm-ping WINDOW [TIMEOUT_MS]\n");
        return 2;
    }
    const auto window = static_cast<xcb_window_t>(std::strtoul(argv[1], nullptr, 0));
    const long timeoutMs = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 2000;
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        std::fprintf(stderr, "qx410-wm-ping: cannot open the display\n");
        return 2;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    const xcb_window_t root = screens.data->root;
    const char* const names[2] = {"WM_PROTOCOLS", "_NET_WM_PING"};
    xcb_atom_t atoms[2] = {};
    if (!InternAtoms(connection, names, atoms)) {
        std::fprintf(stderr, "qx410-wm-ping: the display answers no atoms\n");
        return 2;
    }
    const xcb_atom_t protocols = atoms[0];
    const xcb_atom_t ping = atoms[1];

    // The answer is a client message sent to the root window for its structure listeners (Qt) or its
    // substructure listeners (the usual form); listen as both.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);

    const uint32_t stamp = 0x51410000u + static_cast<uint32_t>(window & 0xFFFFu);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = protocols;
    message.data.data32[0] = ping;
    message.data.data32[1] = stamp;
    message.data.data32[2] = window;
    xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(connection);

    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            bool answered = false;
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
                const auto* reply = reinterpret_cast<xcb_client_message_event_t*>(event);
                answered = reply->window == root && reply->type == protocols &&
                           reply->data.data32[0] == ping && reply->data.data32[1] == stamp &&
                           reply->data.data32[2] == window;
            }
            std::free(event);
            if (answered) {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start);
                std::printf("window 0x%x answered the ping in %lld ms\n", window,
                            static_cast<long long>(ms.count()));
                xcb_disconnect(connection);
                return 0;
            }
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (waited >= timeoutMs || xcb_connection_has_error(connection) != 0) {
            break;
        }
        pollfd entry{xcb_get_file_descriptor(connection), POLLIN, 0};
        poll(&entry, 1, static_cast<int>(timeoutMs - waited));
    }
    std::printf("window 0x%x did not answer the ping within %ld ms\n", window, timeoutMs);
    xcb_disconnect(connection);
    return 1;
}
