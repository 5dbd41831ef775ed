// The dialog templates of the updater as data: every dialog's caption, font, size and controls in dialog
// units, by template number. The Qt user interface builds its dialogs from these tables, so texts,
// identifiers, default buttons and the arrangement of controls live in one reviewable place.
#pragma once

#include <cstddef>
#include <span>

namespace res {

// Template numbers.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_INFOBAR = 101;
constexpr int IDD_FILE_CHECK = 103;
constexpr int IDD_SUCCESS = 104;
constexpr int IDD_FILE_CANCEL = 105;
constexpr int IDD_PORT = 107;
constexpr int IDD_PROGRESS = 108;
constexpr int IDD_UPDATE_FAILED = 1538;
constexpr int IDD_NOT_FOUND = 1539;

// Control identifiers shared by several templates.
constexpr int IDC_OK = 1;
constexpr int IDC_CANCEL = 2;
constexpr int IDC_TEXT = 100;       // the message text, the notice label, the port group box
constexpr int IDC_PORT_AUTO = 111;  // AUTO; COM1..COM9 are 112..120
constexpr int IDC_PORT_USB = 121;

enum class ControlKind {
    DefaultButton,  // push button that Enter presses
    Button,
    GroupBox,
    RadioButton,  // all radio buttons of one template form a single exclusive group
    CentredText,  // static text, centred, line breaks honoured
    LeftText,     // static text, left aligned
    Icon,         // the application icon
};

// A rectangle in dialog units: x, y, width, height.
struct DialogRect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};

struct ControlTemplate {
    int id = 0;
    ControlKind kind = ControlKind::LeftText;
    const char* text = "";  // "&" marks the mnemonic, as in the captions the user sees
    DialogRect rect;
    bool tabStop = false;
};

struct DialogTemplate {
    int id = 0;
    const char* caption = "";
    DialogRect rect;  // position and client size
    const char* fontFace = "Arial";
    int pointSize = 9;
    std::span<const ControlTemplate> controls;
};

// The template by number; nullptr when there is no such template.
const DialogTemplate* FindDialogTemplate(int id);

// The control of a template by identifier; nullptr when it has none.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int controlId);

}  // namespace res
