// The Win32 dialogs under Wine (on the session's display): each template's controls, texts, default
// button and placement, the port values, and the result of each way of leaving, driven by messages
// from a timer that fires inside the dialog's own modal loop; the file-open dialog with a UTF-8 path.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <iterator>
#include <string>

#include "app/update_controller.h"
#include "platform/win32_path.h"
#include "res/dialog_templates.h"
#include "res/strings.h"
#include "tests/support/dialog_cases.h"
#include "tests/support/no_devices.h"
#include "ui_win32/win32_dialog_template.h"
#include "ui_win32/win32_update_ui.h"

namespace {

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring ControlText(HWND dialog, int id) {
    return TextOf(GetDlgItem(dialog, id));
}

// The dialog the call under test opens, acted on from inside its modal loop by one timer of this thread
// (every 20 ms while the tests run). A dialog still open two seconds after the action is ended with 99,
// so a broken button never hangs the test.
std::function<void(HWND)> g_action;
HWND g_acted = nullptr;
DWORD g_actedAt = 0;
UINT_PTR g_timer = 0;

HWND OpenDialogOfThisThread() {
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM result) -> BOOL {
            wchar_t name[16] = {};
            GetClassNameW(window, name, 16);
            if (std::wstring(name) == L"#32770" && IsWindowVisible(window)) {
                *reinterpret_cast<HWND*>(result) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

void CALLBACK ActOnTimer(HWND, UINT, UINT_PTR, DWORD) {
    HWND dialog = OpenDialogOfThisThread();
    if (dialog == nullptr) {
        return;  // not shown yet
    }
    if (dialog == g_acted) {
        if (GetTickCount() - g_actedAt > 2000) {
            EndDialog(dialog, 99);
        }
        return;
    }
    g_acted = dialog;
    g_actedAt = GetTickCount();
    const std::function<void(HWND)> action = std::move(g_action);
    g_action = nullptr;
    if (action) {
        action(dialog);
    }
}

void ActOnModal(std::function<void(HWND)> action) {
    g_action = std::move(action);
    g_acted = nullptr;
    if (g_timer == 0) {
        g_timer = SetTimer(nullptr, 0, 20, ActOnTimer);
    }
}

using testsupport::Leave;
using testsupport::MessageCase;
using testsupport::PortCase;

void LeaveBy(HWND dialog, Leave how) {
    switch (how) {
        case Leave::Ok:
        case Leave::Cancel:
            SendMessageW(GetDlgItem(dialog, how == Leave::Ok ? res::IDC_OK : res::IDC_CANCEL), BM_CLICK, 0,
                         0);
            return;
        case Leave::Enter:
        case Leave::Esc: {
            // Keys go through the dialog's own loop (IsDialogMessage), as typed keys do.
            HWND focus = GetFocus() != nullptr ? GetFocus() : dialog;
            PostMessageW(focus, WM_KEYDOWN, how == Leave::Enter ? VK_RETURN : VK_ESCAPE, 0);
            return;
        }
        case Leave::Close:
            PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            return;
    }
}

// Each control of the template is there with its text and kind, the default button is the template's,
// and the dialog has a caption without a system menu, centred on the reference by its outer rectangle.
void ExpectBuiltFromTemplate(HWND dialog, int templateId, const WindowRect& reference) {
    const res::DialogTemplate* tpl = res::FindDialogTemplate(templateId);
    ASSERT_NE(tpl, nullptr);
    EXPECT_EQ(TextOf(dialog), ui_win32::WideFromLatin1(tpl->caption));
    const LONG style = GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    for (const res::ControlTemplate& control : tpl->controls) {
        if (control.id <= 0) {
            continue;
        }
        HWND item = GetDlgItem(dialog, control.id);
        ASSERT_NE(item, nullptr) << control.id;
        if (control.id != res::IDC_TEXT || control.kind == res::ControlKind::GroupBox) {
            EXPECT_EQ(TextOf(item), ui_win32::WideFromLatin1(control.text)) << control.id;
        }
        const LONG itemStyle = GetWindowLongW(item, GWL_STYLE);
        if (control.kind == res::ControlKind::DefaultButton) {
            EXPECT_EQ(itemStyle & 0xF, BS_DEFPUSHBUTTON) << control.id;
            EXPECT_EQ(LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0)), control.id);
        }
        if (control.kind != res::ControlKind::RadioButton) {  // a checked radio button takes WS_TABSTOP
            EXPECT_EQ((itemStyle & WS_TABSTOP) != 0, control.tabStop) << control.id;
        }
    }
    RECT outer{};
    GetWindowRect(dialog, &outer);
    const WindowPosition centred =
        ComputeDialogPosition(reference, outer.right - outer.left, outer.bottom - outer.top);
    EXPECT_EQ(outer.left, centred.x);
    EXPECT_EQ(outer.top, centred.y);
}

class Win32DialogTest : public ::testing::Test {
  protected:
    void SetUp() override { m_controller.SetStatus(STATUS_LINE_PORT_PROMPT); }
    void TearDown() override { g_action = nullptr; }

    testsupport::NoDevices m_devices;
    CUpdateController m_controller{m_devices};
    ui_win32::CWin32UpdateUi m_ui{m_controller, nullptr, nullptr};
    const WindowRect m_reference{0, 0, 1000, 700};

    void SetReference() { m_controller.SetReferenceRect(m_reference); }
};

// --- Port dialog ---

class Win32PortDialogTest : public Win32DialogTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(Win32PortDialogTest, StoresThePortAndSwitchesTheStatusLineOnlyOnOk) {
    const PortCase& c = GetParam();
    SetReference();
    int16_t port = -5;
    // The dialog opens on AUTO every time, whatever was chosen the last time.
    const auto show = [&](int buttonToCheck, Leave leave) {
        ActOnModal([&, buttonToCheck, leave](HWND dialog) {
            ExpectBuiltFromTemplate(dialog, res::IDD_PORT, m_reference);
            for (int id = res::IDC_PORT_AUTO; id <= res::IDC_PORT_USB; ++id) {
                EXPECT_EQ(IsDlgButtonChecked(dialog, id),
                          id == res::IDC_PORT_AUTO ? BST_CHECKED : BST_UNCHECKED);
            }
            if (buttonToCheck != 0) {
                SendMessageW(GetDlgItem(dialog, buttonToCheck), BM_CLICK, 0, 0);
                EXPECT_EQ(IsDlgButtonChecked(dialog, res::IDC_PORT_AUTO), BST_UNCHECKED);
            }
            LeaveBy(dialog, leave);
        });
        return m_ui.ShowPortDialog(port);
    };
    EXPECT_EQ(show(c.buttonToCheck, c.leave), c.expectedResult);
    EXPECT_EQ(port, c.expectedPort);
    EXPECT_EQ(m_controller.StatusText(),
              res::LoadString(c.expectedResult == 1 ? res::IDS_SEARCHING : res::IDS_SELECT_PORT));
    EXPECT_EQ(show(0, Leave::Esc), 2);
}

INSTANTIATE_TEST_SUITE_P(Ports, Win32PortDialogTest, ::testing::ValuesIn(testsupport::PORT_CASES),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Message dialogs ---

class Win32MessageDialogTest : public Win32DialogTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(Win32MessageDialogTest, ShowsTheTextAndButtonsWithTheirResults) {
    const MessageCase& c = GetParam();
    SetReference();
    for (const auto& [how, expected] : {std::pair{Leave::Ok, 1},
                                        {Leave::Enter, 1},
                                        {Leave::Esc, 2},
                                        {Leave::Close, 2},
                                        {Leave::Cancel, 2}}) {
        if (how == Leave::Cancel && c.button2 == nullptr) {
            break;
        }
        std::wstring shown;
        ActOnModal([&, way = how](HWND dialog) {
            ExpectBuiltFromTemplate(dialog, TemplateOf(c.dialog), m_reference);
            EXPECT_EQ(ControlText(dialog, res::IDC_OK), ui_win32::WideFromLatin1(c.button1));
            EXPECT_EQ(
                GetDlgItem(dialog, res::IDC_CANCEL) != nullptr ? ControlText(dialog, res::IDC_CANCEL) : L"-",
                c.button2 != nullptr ? ui_win32::WideFromLatin1(c.button2) : L"-");
            shown = ControlText(dialog, res::IDC_TEXT);
            LeaveBy(dialog, way);
        });
        EXPECT_EQ(m_ui.ShowMessageDialog(c.dialog, c.text), expected);
        // Line breaks kept, and every byte one character (Latin-1).
        EXPECT_EQ(shown, ui_win32::WideFromLatin1(c.text));
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, Win32MessageDialogTest, ::testing::ValuesIn(testsupport::MESSAGE_CASES),
                         [](const auto& p) { return std::string(p.param.name); });

// An outcome with a cause on this machine gains one line under its text, the button moving below it.
TEST_F(Win32DialogTest, OutcomeCauseLineGoesUnderTheText) {
    HostCause cause;
    cause.cause = LinkCause::PermissionDenied;
    cause.port = "COM3";
    const std::string line = OutcomeCauseLine(cause);
    ASSERT_FALSE(line.empty());
    std::wstring shown;
    RECT text{}, button{};
    ActOnModal([&](HWND dialog) {
        shown = ControlText(dialog, ui_win32::IDC_CAUSE_LINE);
        GetWindowRect(GetDlgItem(dialog, res::IDC_TEXT), &text);
        GetWindowRect(GetDlgItem(dialog, res::IDC_OK), &button);
        LeaveBy(dialog, Leave::Ok);
    });
    EXPECT_EQ(m_ui.ShowOutcomeDialog(MessageDialog::NotFound, res::LoadString(res::IDS_NOT_FOUND), cause), 1);
    EXPECT_EQ(shown, platform::WideFromUtf8(line));
    EXPECT_GT(button.top, text.bottom + 10);

    cause.cause = LinkCause::CameraSilent;  // nothing the user can act on here: no line
    ActOnModal([&](HWND dialog) {
        EXPECT_EQ(GetDlgItem(dialog, ui_win32::IDC_CAUSE_LINE), nullptr);
        LeaveBy(dialog, Leave::Esc);
    });
    EXPECT_EQ(
        m_ui.ShowOutcomeDialog(MessageDialog::UpdateFailed, res::LoadString(res::IDS_UPDATE_FAILED), cause),
        2);
}

// --- The file-open dialog ---

TEST_F(Win32DialogTest, FileDialogReturnsTheChosenPathInUtf8OrCancelled) {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    const std::wstring path = std::wstring(base) + L"QX410-Gr\u00fc\u00dfe-\u4e00.fw";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    std::wstring filterShown;
    ActOnModal([&](HWND dialog) {
        // The file name box (cmb13) takes the typed path; Open is IDOK.
        filterShown = ControlText(dialog, 0x470);  // the file type box (cmb1)
        SetDlgItemTextW(dialog, 0x47c, path.c_str());
        SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    });
    std::string chosen;
    EXPECT_EQ(m_ui.ChooseFile(res::LoadString(res::IDS_FILE_FILTER), "", chosen), FileDialogResult::Chosen);
    EXPECT_EQ(chosen, platform::Utf8FromWide(path));
    EXPECT_EQ(filterShown, L"Firmware Files (*.fw )   ");

    ActOnModal([](HWND dialog) { SendMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); });
    chosen.clear();
    EXPECT_EQ(m_ui.ChooseFile(res::LoadString(res::IDS_FILE_FILTER), "QX410-100.fw", chosen),
              FileDialogResult::Cancelled);
    EXPECT_TRUE(chosen.empty());
    DeleteFileW(path.c_str());
}

TEST(Win32FileFilterTest, SeparatorsBecomeNulsEndedByTwo) {
    static const wchar_t EXPECTED[] = L"Firmware Files (*.fw )   \0*.fw\0\0  \0\0";
    EXPECT_EQ(ui_win32::ConvertFileFilter("Firmware Files (*.fw )   |*.fw||  "),
              std::wstring(EXPECTED, std::size(EXPECTED) - 1));
}

// The wait cursor shows while busy, nests, and gives way to the arrow at a prompt.
TEST_F(Win32DialogTest, BusyCursorNestsAndPromptsShowTheArrow) {
    m_ui.SetBusyCursor(true);
    m_ui.SetBusyCursor(true);
    m_ui.SetBusyCursor(false);
    EXPECT_TRUE(m_ui.ShowsBusyCursor());
    bool busyAtPrompt = true;
    ActOnModal([&](HWND dialog) {
        busyAtPrompt = m_ui.ShowsBusyCursor();
        LeaveBy(dialog, Leave::Esc);
    });
    int16_t port = 0;
    m_ui.ShowPortDialog(port);
    EXPECT_FALSE(busyAtPrompt);
    EXPECT_TRUE(m_ui.ShowsBusyCursor());
    m_ui.SetBusyCursor(false);
    m_ui.SetBusyCursor(false);  // unbalanced: ignored
    EXPECT_FALSE(m_ui.ShowsBusyCursor());
}

}  // namespace
