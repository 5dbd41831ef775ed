// The dialog templates: captions, fonts, sizes and controls in dialog units, in template order.
#include "res/dialog_templates.h"

#include <array>

#include "res/strings.h"

namespace res {
namespace {

using K = ControlKind;

constexpr std::array ABOUT_CONTROLS{
    ControlTemplate{-1, K::Icon, "", {11, 17, 20, 20}},
    ControlTemplate{-1, K::LeftText, APP_TITLE, {40, 10, 190, 8}},
    ControlTemplate{-1, K::LeftText, "Version 0,1,0000", {40, 25, 119, 8}},
    ControlTemplate{-1, K::LeftText, "Firmware updater for Linux, built with Qt", {40, 40, 190, 8}},
    ControlTemplate{IDC_OK, K::DefaultButton, "OK", {190, 6, 40, 14}, true},
};

constexpr std::array FILE_CHECK_CONTROLS{
    ControlTemplate{IDC_OK, K::DefaultButton, "Continue", {49, 43, 40, 14}, true},
    ControlTemplate{IDC_CANCEL, K::Button, "Quit", {98, 43, 40, 14}, true},
    ControlTemplate{IDC_TEXT, K::CentredText, "", {21, 7, 145, 30}},
};

constexpr std::array FILE_CANCEL_CONTROLS{
    ControlTemplate{IDC_OK, K::DefaultButton, "Continue", {47, 35, 40, 14}, true},
    ControlTemplate{IDC_CANCEL, K::Button, "Quit", {99, 35, 40, 14}, true},
    ControlTemplate{IDC_TEXT, K::CentredText, "", {8, 7, 169, 20}},
};

constexpr std::array SUCCESS_CONTROLS{
    ControlTemplate{IDC_OK, K::DefaultButton, "OK", {73, 48, 40, 14}, true},
    ControlTemplate{IDC_TEXT, K::CentredText, "", {7, 8, 170, 33}},
};

constexpr std::array UPDATE_FAILED_CONTROLS{
    ControlTemplate{IDC_OK, K::DefaultButton, "Quit", {73, 48, 40, 14}, true},
    ControlTemplate{IDC_TEXT, K::CentredText, "", {7, 8, 170, 33}},
};

constexpr std::array NOT_FOUND_CONTROLS{
    ControlTemplate{IDC_OK, K::DefaultButton, "Exit", {82, 48, 40, 14}, true},
    ControlTemplate{IDC_TEXT, K::CentredText, "", {7, 8, 193, 33}},
};

// Two columns inside the group box: AUTO and COM1..COM5 on the left, COM6..COM9 and USB on the right.
constexpr std::array PORT_CONTROLS{
    ControlTemplate{IDC_OK, K::DefaultButton, "&OK", {126, 70, 45, 14}, true},
    ControlTemplate{IDC_TEXT, K::GroupBox, "Connect Port", {15, 4, 92, 98}},
    ControlTemplate{112, K::RadioButton, "COM1", {22, 30, 35, 10}},
    ControlTemplate{113, K::RadioButton, "COM2", {22, 44, 35, 10}},
    ControlTemplate{114, K::RadioButton, "COM3", {22, 58, 35, 10}},
    ControlTemplate{115, K::RadioButton, "COM4", {22, 72, 35, 10}},
    ControlTemplate{IDC_PORT_AUTO, K::RadioButton, "AUTO", {22, 16, 35, 10}},
    ControlTemplate{IDC_CANCEL, K::Button, "&Quit", {126, 87, 45, 14}, true},
    ControlTemplate{116, K::RadioButton, "COM5", {22, 86, 35, 10}},
    ControlTemplate{117, K::RadioButton, "COM6", {62, 30, 35, 10}},
    ControlTemplate{118, K::RadioButton, "COM7", {62, 44, 35, 10}},
    ControlTemplate{119, K::RadioButton, "COM8", {62, 58, 35, 10}},
    ControlTemplate{120, K::RadioButton, "COM9", {62, 72, 35, 10}},
    ControlTemplate{IDC_PORT_USB, K::RadioButton, "USB", {63, 86, 30, 10}},
};

constexpr std::array PROGRESS_CONTROLS{
    ControlTemplate{IDC_TEXT, K::CentredText, "", {18, 6, 178, 10}},
};

constexpr std::array<ControlTemplate, 0> NO_CONTROLS{};

constexpr std::array TEMPLATES{
    DialogTemplate{IDD_ABOUTBOX,
                   "About Corva QX410 Zoom Digital Camera Update Software",
                   {0, 0, 237, 55},
                   "Arial",
                   9,
                   ABOUT_CONTROLS},
    DialogTemplate{IDD_INFOBAR, "", {0, 0, 300, 14}, "MS Sans Serif", 8, NO_CONTROLS},
    DialogTemplate{IDD_FILE_CHECK, APP_TITLE, {80, 70, 191, 63}, "Arial", 9, FILE_CHECK_CONTROLS},
    DialogTemplate{IDD_SUCCESS, APP_TITLE, {70, 70, 185, 67}, "Arial", 9, SUCCESS_CONTROLS},
    DialogTemplate{IDD_FILE_CANCEL, APP_TITLE, {80, 70, 185, 53}, "Arial", 9, FILE_CANCEL_CONTROLS},
    DialogTemplate{IDD_PORT, APP_TITLE, {0, 0, 187, 116}, "Arial", 9, PORT_CONTROLS},
    DialogTemplate{IDD_PROGRESS, APP_TITLE, {80, 70, 221, 44}, "Arial", 8, PROGRESS_CONTROLS},
    DialogTemplate{IDD_UPDATE_FAILED, APP_TITLE, {70, 70, 185, 67}, "Arial", 9, UPDATE_FAILED_CONTROLS},
    DialogTemplate{IDD_NOT_FOUND, APP_TITLE, {70, 70, 206, 68}, "Arial", 9, NOT_FOUND_CONTROLS},
};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& dialog : TEMPLATES) {
        if (dialog.id == id) {
            return &dialog;
        }
    }
    return nullptr;
}

const ControlTemplate* FindControl(const DialogTemplate& dialog, int controlId) {
    for (const ControlTemplate& control : dialog.controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

}  // namespace res
