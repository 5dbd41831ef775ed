// In-memory dialog templates from the template table.
#include "ui_win32/win32_dialog_template.h"

#include <cstring>

namespace ui_win32 {
namespace {

// Predefined window classes as DLGITEMTEMPLATE names them.
constexpr WORD BUTTON_CLASS = 0x0080;
constexpr WORD STATIC_CLASS = 0x0082;

// Writes WORDs into a DWORD buffer (the templates are WORD streams aligned on DWORDs).
class TemplateWriter {
  public:
    void Word(WORD value) { m_words.push_back(value); }
    void Dword(DWORD value) {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Short(int value) { Word(static_cast<WORD>(static_cast<short>(value))); }
    void Text(const std::wstring& text) {
        for (const wchar_t c : text) {
            Word(static_cast<WORD>(c));
        }
        Word(0);
    }
    void AlignDword() {
        if (m_words.size() % 2 != 0) {
            Word(0);
        }
    }
    size_t Position() const { return m_words.size(); }
    void Patch(size_t position, WORD value) { m_words[position] = value; }
    std::vector<DWORD> Finish() {
        AlignDword();
        std::vector<DWORD> out(m_words.size() / 2);
        std::memcpy(out.data(), m_words.data(), m_words.size() * sizeof(WORD));
        return out;
    }

  private:
    std::vector<WORD> m_words;
};

struct ItemStyle {
    DWORD style;
    WORD windowClass;
};

ItemStyle StyleOf(res::ControlKind kind) {
    switch (kind) {
        case res::ControlKind::DefaultButton:
            return {BS_DEFPUSHBUTTON, BUTTON_CLASS};
        case res::ControlKind::Button:
            return {BS_PUSHBUTTON, BUTTON_CLASS};
        case res::ControlKind::GroupBox:
            return {BS_GROUPBOX, BUTTON_CLASS};
        case res::ControlKind::RadioButton:
            // Checked by the dialog itself (CheckRadioButton over 111..121): the template's order puts
            // push buttons between the radio buttons, which would split an automatic group.
            return {BS_RADIOBUTTON, BUTTON_CLASS};
        case res::ControlKind::CentredText:
            return {SS_CENTER | SS_NOPREFIX, STATIC_CLASS};
        case res::ControlKind::LeftText:
            return {SS_LEFT | SS_NOPREFIX, STATIC_CLASS};
        case res::ControlKind::Icon:
            return {SS_ICON, STATIC_CLASS};
    }
    return {SS_LEFT, STATIC_CLASS};
}

bool IsButton(res::ControlKind kind) {
    return kind == res::ControlKind::DefaultButton || kind == res::ControlKind::Button;
}

void WriteItem(TemplateWriter& out, DWORD style, WORD windowClass, int id, const res::DialogRect& rect,
               const std::wstring& text) {
    out.AlignDword();
    out.Dword(style | WS_CHILD | WS_VISIBLE);
    out.Dword(0);  // extended style
    out.Short(rect.x);
    out.Short(rect.y);
    out.Short(rect.cx);
    out.Short(rect.cy);
    out.Word(static_cast<WORD>(id));
    out.Word(0xFFFF);
    out.Word(windowClass);
    out.Text(text);
    out.Word(0);  // no creation data
}

}  // namespace

std::wstring WideFromLatin1(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::vector<DWORD> BuildDialogTemplate(const res::DialogTemplate& dialog, const std::wstring& causeLine) {
    const res::ControlTemplate* text = res::FindControl(dialog, res::IDC_TEXT);
    const bool withCause = !causeLine.empty() && text != nullptr;
    const int grow = withCause ? CAUSE_LINE_HEIGHT_DU : 0;

    TemplateWriter out;
    out.Dword(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION);
    out.Dword(0);
    const size_t countAt = out.Position();
    out.Word(0);  // control count, patched below
    out.Short(dialog.rect.x);
    out.Short(dialog.rect.y);
    out.Short(dialog.rect.cx);
    out.Short(dialog.rect.cy + grow);
    out.Word(0);  // no menu
    out.Word(0);  // the dialog class
    out.Text(WideFromLatin1(dialog.caption));
    out.Word(static_cast<WORD>(dialog.pointSize));
    out.Text(WideFromLatin1(dialog.fontFace));

    WORD count = 0;
    bool first = true;
    for (const res::ControlTemplate& control : dialog.controls) {
        const ItemStyle item = StyleOf(control.kind);
        DWORD style = item.style;
        if (control.tabStop) {
            style |= WS_TABSTOP;
        }
        if (first) {
            style |= WS_GROUP;
            first = false;
        }
        res::DialogRect rect = control.rect;
        if (withCause && IsButton(control.kind)) {
            rect.y += grow;
        }
        WriteItem(out, style, item.windowClass, control.id, rect, WideFromLatin1(control.text));
        ++count;
    }
    if (withCause) {
        const res::DialogRect below{text->rect.x, text->rect.y + text->rect.cy, text->rect.cx, grow};
        WriteItem(out, SS_CENTER | SS_NOPREFIX, STATIC_CLASS, IDC_CAUSE_LINE, below, causeLine);
        ++count;
    }
    out.Patch(countAt, count);
    return out.Finish();
}

HFONT CreateTemplateFont(const res::DialogTemplate& dialog) {
    const std::wstring face = WideFromLatin1(dialog.fontFace);
    return CreateFontW(-MulDiv(dialog.pointSize, 96, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, face.c_str());
}

SIZE DialogBaseUnits(HFONT font) {
    SIZE units{8, 16};
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) {
        return units;
    }
    HGDIOBJ old = SelectObject(dc, font);
    static const wchar_t ALPHABET[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SIZE extent{};
    TEXTMETRICW metrics{};
    if (GetTextExtentPoint32W(dc, ALPHABET, 52, &extent) && GetTextMetricsW(dc, &metrics)) {
        units.cx = (extent.cx + 26) / 52;
        units.cy = metrics.tmHeight;
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    return units;
}

}  // namespace ui_win32
