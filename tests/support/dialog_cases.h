// The dialog tables every user interface's dialog tests run (Qt offscreen, Win32 under Wine): the ways
// of leaving a dialog, the port dialog's cases and the message dialogs with their texts and buttons.
#pragma once

#include <cstdint>

#include "app/update_ui.h"
#include "res/strings.h"

namespace testsupport {

// The ways a user leaves a dialog; Close is the window manager's close request.
enum class Leave { Ok, Cancel, Enter, Esc, Close };

struct PortCase {
    const char* name;
    int buttonToCheck;  // 0: leave as opened
    Leave leave;
    int expectedResult;
    int16_t expectedPort;  // -5: unchanged
};

// clang-format off
inline constexpr PortCase PORT_CASES[] = {
    {"OkUntouchedIsAuto", 0, Leave::Ok, 1, 0}, {"EnterIsOk", 0, Leave::Enter, 1, 0},
    {"Com1", 112, Leave::Ok, 1, 1}, {"Com7", 118, Leave::Ok, 1, 7},
    {"Com9", 120, Leave::Ok, 1, 9}, {"Usb", 121, Leave::Ok, 1, 10},
    {"QuitAfterChoosing", 118, Leave::Cancel, 2, -5}, {"Esc", 0, Leave::Esc, 2, -5},
    {"WindowManagerCloseIsQuit", 118, Leave::Close, 2, -5},
};
// clang-format on

struct MessageCase {
    const char* name;
    MessageDialog dialog;
    const char* text;
    const char* button1;
    const char* button2;  // nullptr: single button
};

inline constexpr char SUCCESS_TEXT[] =
    "Firmware 2.0a was successfully installed in your Corva QX410 Zoom Digital Camera !";

// clang-format off
inline constexpr MessageCase MESSAGE_CASES[] = {
    {"WrongFile", MessageDialog::FileCheck, res::LoadString(res::IDS_WRONG_FILE), "Continue", "Quit"},
    {"VersionMatches", MessageDialog::FileCheck, res::LoadString(res::IDS_VERSION_MATCHES), "Continue", "Quit"},
    {"FileCancel", MessageDialog::FileCancel, res::LoadString(res::IDS_FILE_CANCELLED), "Continue", "Quit"},
    {"Success", MessageDialog::Success, SUCCESS_TEXT, "OK", nullptr},
    {"UpdateFailed", MessageDialog::UpdateFailed, res::LoadString(res::IDS_UPDATE_FAILED), "Quit", nullptr},
    {"NotFound", MessageDialog::NotFound, res::LoadString(res::IDS_NOT_FOUND), "Exit", nullptr},
};
// clang-format on

}  // namespace testsupport
