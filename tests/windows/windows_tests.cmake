# The Windows build's tests, run under Wine (cmake/wine/wine-run.sh is the cross-compiling emulator, so
# every test program above runs in the build tree's prefix, <build>/wine).
#
# The prefix is started once for the run (fixture "wine") and ended at its end, so no Wine helper
# process outlives the run or holds a test's output; every test has a time-out.
set(QX_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
set(QX_WINE_PREFIX_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/wine/wine-prefix.sh)
# The session's X display (Xvfb), started before the session so that programs can open windows.
add_test(NAME win_display_start COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine/wine-display.sh ${QX_WINE_DIR})
set_tests_properties(win_display_start PROPERTIES FIXTURES_SETUP wine_display TIMEOUT 30 LABELS windows)
add_test(NAME win_display_stop COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine/wine-display.sh ${QX_WINE_DIR} --stop)
set_tests_properties(win_display_stop PROPERTIES FIXTURES_CLEANUP wine_display TIMEOUT 30 LABELS windows)
# The session keeper owns Wine's desktop process, so that no test's program starts it (session_keeper.cpp).
add_executable(wine_session_keeper windows/session_keeper.cpp)
add_test(NAME win_wine_start COMMAND ${QX_WINE_PREFIX_SCRIPT} ${QX_WINE_DIR} --keeper $<TARGET_FILE:wine_session_keeper>)
set_tests_properties(win_wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120 LABELS windows)
add_test(NAME win_wine_stop COMMAND ${QX_WINE_PREFIX_SCRIPT} ${QX_WINE_DIR} --stop)
set_tests_properties(win_wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60 LABELS windows)
set_tests_properties(win_wine_start win_wine_stop PROPERTIES FIXTURES_REQUIRED wine_display)

# The Windows platform files on their own, and the firmware image checks on Windows files.
qx_add_test(win32_platform_test SOURCES windows/win32_platform_test.cpp LIBS qx_app qx_platform qx_common TIMEOUT 60)

# The desktop program's user interface: the notice's GDI picture against the pixel model (no window),
# the notice window, and every dialog driven by messages on the session's display.
qx_add_test(win32_notice_test SOURCES windows/win32_notice_test.cpp LIBS qx_ui_win32 TIMEOUT 60)
qx_add_test(win32_dialogs_test SOURCES windows/win32_dialogs_test.cpp LIBS qx_ui_win32 TIMEOUT 120)

# No COM port of the prefix reaches a device of the machine.
add_test(NAME win_com_ports_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/com_ports_test.sh ${QX_WINE_DIR})
set_tests_properties(win_com_ports_test PROPERTIES TIMEOUT 30)

# qx410fw-cli.exe on the Windows serial backend, against the Linux simulator (built by the Linux build:
# QX_HOST_SIMULATOR) on a pseudo-terminal mapped as COM1. One at a time: they share COM1.
set(QX_HOST_SIMULATOR "" CACHE FILEPATH "The Linux build's qx410-camera-sim, for the Windows serial tests")
set(QX_SERIAL_CLI_TEST ${CMAKE_CURRENT_LIST_DIR}/serial_cli_test.sh "${QX_HOST_SIMULATOR}"
                       ${PROJECT_SOURCE_DIR}/cmake/wine/wine-run.sh ${QX_WINE_DIR} $<TARGET_FILE:qx410fw-cli>)
add_test(NAME win_cli_info_test COMMAND ${QX_SERIAL_CLI_TEST} info)
add_test(NAME win_cli_refused_update_test COMMAND ${QX_SERIAL_CLI_TEST} refused)
add_test(NAME win_cli_update_long_test COMMAND ${QX_SERIAL_CLI_TEST} update)
set_tests_properties(win_cli_info_test win_cli_refused_update_test PROPERTIES TIMEOUT 120)
# The complete serial update (about nine minutes at the line's pace) runs in every Windows pass: the
# serial backend's whole update is proved by nothing else under Wine.
# Started first (COST: a clean build has no timings), so that the tests that share COM1 follow it while
# the rest run beside it.
set_tests_properties(win_cli_update_long_test PROPERTIES TIMEOUT 1200 LABELS long COST 530)
set_tests_properties(win_cli_info_test win_cli_refused_update_test win_cli_update_long_test
                     PROPERTIES RESOURCE_LOCK wine_com1 SKIP_RETURN_CODE 77)

# The USB path: the stand-in for the camera's driver, a kernel-mode driver that Wine loads as a service,
# forwarding each request of \\.\QX410U-001 to the simulator (usb_driver_test.sh). Built on its own
# (no C runtime, native subsystem, the kernel's imports), not with the project's program flags.
set(QX_DRIVER_DIR ${CMAKE_CURRENT_LIST_DIR}/driver)
set(QX_DRIVER ${CMAKE_CURRENT_BINARY_DIR}/qx410u_standin.sys)
set(QX_DRIVER_FLAGS -O2 -Wall -Wextra -Werror -fno-stack-protector)
add_custom_command(
  OUTPUT ${QX_DRIVER}
  COMMAND ${CMAKE_C_COMPILER} -std=c11 ${QX_DRIVER_FLAGS} -c ${QX_DRIVER_DIR}/standin_driver.c -o standin_driver.o
  COMMAND ${CMAKE_CXX_COMPILER} -std=c++20 ${QX_DRIVER_FLAGS} -fno-exceptions -fno-rtti -c ${QX_DRIVER_DIR}/forward.cpp
          -o standin_forward.o
  COMMAND ${CMAKE_C_COMPILER} -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry standin_driver.o
          standin_forward.o -lntoskrnl -lws2_32 -o ${QX_DRIVER}
  DEPENDS ${QX_DRIVER_DIR}/standin_driver.c ${QX_DRIVER_DIR}/forward.cpp ${QX_DRIVER_DIR}/forward.h
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  COMMENT "Building the stand-in USB driver qx410u_standin.sys"
  VERBATIM)
add_custom_target(qx410u_standin ALL DEPENDS ${QX_DRIVER})

# The backend's requests through the driver; run only by usb_driver_test.sh, which starts the driver.
add_executable(win32_usb_driver_test windows/win32_usb_driver_test.cpp)
target_link_libraries(win32_usb_driver_test PRIVATE qx_platform qx_common qx_test_tree GTest::gtest GTest::gtest_main)

# One at a time: they share the driver service and QX410U-001.
set(QX_USB_DRIVER_TEST ${CMAKE_CURRENT_LIST_DIR}/usb_driver_test.sh "${QX_HOST_SIMULATOR}"
                       ${PROJECT_SOURCE_DIR}/cmake/wine/wine-run.sh ${QX_WINE_DIR} ${QX_DRIVER})
add_test(NAME win_usb_backend_test COMMAND ${QX_USB_DRIVER_TEST} $<TARGET_FILE:win32_usb_driver_test> backend)
add_test(NAME win_usb_cli_info_test COMMAND ${QX_USB_DRIVER_TEST} $<TARGET_FILE:qx410fw-cli> info)
add_test(NAME win_usb_cli_refused_update_test COMMAND ${QX_USB_DRIVER_TEST} $<TARGET_FILE:qx410fw-cli> refused)
add_test(NAME win_usb_cli_update_long_test COMMAND ${QX_USB_DRIVER_TEST} $<TARGET_FILE:qx410fw-cli> update)
set_tests_properties(win_usb_backend_test win_usb_cli_info_test win_usb_cli_refused_update_test PROPERTIES TIMEOUT 120)
# The complete USB update through the command line proves nothing the desktop program's below does not.
set_tests_properties(win_usb_cli_update_long_test PROPERTIES TIMEOUT 600 LABELS "long;wine_extra")
set_tests_properties(win_usb_backend_test win_usb_cli_info_test win_usb_cli_refused_update_test
                     win_usb_cli_update_long_test PROPERTIES RESOURCE_LOCK wine_usb1 SKIP_RETURN_CODE 77)

# qx410fw-setup.exe installed for the user and for every user, its programs started (the desktop program
# as far as its port dialog, on the session's display) and uninstalled silently, leaving nothing behind,
# and the zip holding the same files. About 13 s.
add_test(NAME win_installer_test
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/installer_test.sh ${PROJECT_SOURCE_DIR}/cmake/wine/wine-run.sh ${QX_WINE_DIR}
                 ${QX_WINDOWS_SETUP} ${QX_WINDOWS_ZIP} ${PROJECT_VERSION} $<TARGET_EXISTS:qx410fw>)
set_tests_properties(win_installer_test PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77 RESOURCE_LOCK wine_screen)

# qx410fw.exe driven as a user would under Wine on the session's display, against the simulator on COM1:
# the four screenshots stay in <build>/tests/win-gui-demo (refused: the camera refuses block 1, about 25
# s) and <build>/tests/win-gui-update (a complete update, about nine minutes, label long).
set(QX_GUI_UPDATE_TEST ${CMAKE_CURRENT_LIST_DIR}/gui_update_test.sh "${QX_HOST_SIMULATOR}"
                       ${PROJECT_SOURCE_DIR}/cmake/wine/wine-run.sh ${QX_WINE_DIR} $<TARGET_FILE:qx410fw>)
add_test(NAME win_gui_refused_update_test COMMAND ${QX_GUI_UPDATE_TEST} ${CMAKE_CURRENT_BINARY_DIR}/win-gui-demo refused)
add_test(NAME win_gui_update_long_test COMMAND ${QX_GUI_UPDATE_TEST} ${CMAKE_CURRENT_BINARY_DIR}/win-gui-update update)
set_tests_properties(win_gui_refused_update_test PROPERTIES TIMEOUT 180 LABELS gui)
set_tests_properties(win_gui_update_long_test PROPERTIES TIMEOUT 1200 LABELS "gui;long;wine_extra")
# AUTO searches USB before COM1: while a USB test's simulator stands behind QX410U-001, the program would
# find that camera and talk to it beside the test's own program (Wine gives a second handle on the
# device), so these hold the USB instance too.
set_tests_properties(win_gui_refused_update_test win_gui_update_long_test
                     PROPERTIES RESOURCE_LOCK "wine_com1;wine_usb1;wine_screen" SKIP_RETURN_CODE 77)
# The same complete update on USB, through the stand-in driver (about two minutes, in every Windows pass):
# its screenshots stay in <build>/tests/win-gui-usb-update.
add_test(NAME win_gui_usb_update_test COMMAND ${QX_GUI_UPDATE_TEST} ${CMAKE_CURRENT_BINARY_DIR}/win-gui-usb-update
                                              usb-update ${QX_DRIVER})
set_tests_properties(win_gui_usb_update_test PROPERTIES TIMEOUT 400 LABELS "gui;long" RESOURCE_LOCK "wine_usb1;wine_screen"
                                                        SKIP_RETURN_CODE 77)
# The dialog tests open windows on the same screen: not beside a scripted run.
set_tests_properties(win32_dialogs_test win32_notice_test PROPERTIES RESOURCE_LOCK wine_screen)

# Every test of this build needs the prefix and carries the label "windows".
get_directory_property(QX_WINDOWS_TESTS TESTS)
list(REMOVE_ITEM QX_WINDOWS_TESTS win_display_start win_display_stop win_wine_start win_wine_stop)
foreach(test ${QX_WINDOWS_TESTS})
  get_test_property(${test} LABELS labels)
  if(NOT labels)
    set(labels "")
  endif()
  list(APPEND labels windows)
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED wine LABELS "${labels}")
endforeach()
