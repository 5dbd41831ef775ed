# The Windows desktop program qx410fw.exe: the Win32 shell (main frame, info bar, view and start timer)
# over the Win32 user interface (ui_win32/). Included by the top-level build for Windows only; the shell
# publishes its own headers alone, so the user interface below it never sees them.
add_library(qx_shell_win32 STATIC ${CMAKE_CURRENT_LIST_DIR}/win32_main_frame.cpp)
target_link_libraries(qx_shell_win32 PUBLIC qx_ui_win32 PRIVATE user32 gdi32)
qx_layer(qx_shell_win32 shell HEADERS win32_main_frame.h)

add_executable(qx410fw WIN32 ${CMAKE_CURRENT_LIST_DIR}/win32_main.cpp)
target_link_libraries(qx410fw PRIVATE qx_shell_win32)
# wWinMain: the command line arrives in UTF-16.
target_link_options(qx410fw PRIVATE -municode)
