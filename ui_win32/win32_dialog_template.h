// Dialog templates of res/ as the in-memory DLGTEMPLATE that DialogBoxIndirectParam and
// CreateDialogIndirectParam read: the caption, the font, the client size and every control in dialog
// units, the default button as BS_DEFPUSHBUTTON. Also the template font and its dialog base units for
// windows that are not dialogs (the info bar).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "res/dialog_templates.h"

namespace ui_win32 {

// The cause line under a message's text (not part of any template).
constexpr int IDC_CAUSE_LINE = 102;
// Its height in dialog units: two lines of the message font.
constexpr int CAUSE_LINE_HEIGHT_DU = 20;

// Characters 0..255 as the same code points: the camera's and the templates' texts are single bytes.
std::wstring WideFromLatin1(std::string_view text);

// The template in DLGTEMPLATE form, DWORD-aligned as the dialog functions need it. A popup with a
// caption and a modal frame, but no system menu (so no close box). With a causeLine, a centred static
// (IDC_CAUSE_LINE) as wide as control 100 goes under it, and the buttons and the dialog move down by
// CAUSE_LINE_HEIGHT_DU.
std::vector<DWORD> BuildDialogTemplate(const res::DialogTemplate& dialog, const std::wstring& causeLine = {});

// The template's font at 96 pixels per inch (height MulDiv(pt, 96, 72)), as a dialog gets it. The
// caller deletes it.
HFONT CreateTemplateFont(const res::DialogTemplate& dialog);

// Dialog base units of a font: the average width of "A".."Z" "a".."z" and the character height.
SIZE DialogBaseUnits(HFONT font);

}  // namespace ui_win32
