// The port dialog and the message dialogs: texts, buttons and keys with their results, the port values,
// the status change on OK, and placement by the controller.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTest>
#include <functional>

#include "app/update_controller.h"
#include "res/strings.h"
#include "tests/support/dialog_cases.h"
#include "tests/ui/ui_test_support.h"
#include "ui/controller_host.h"
#include "ui/firmware_file_dlg.h"
#include "ui/message_dlgs.h"
#include "ui/port_dlg.h"
#include "ui/qt_update_ui.h"

namespace {

using uitest::ActOnModal;

const auto ButtonOf = [](QWidget& dialog, int id) {
    return qobject_cast<QAbstractButton*>(dynamic_cast<ui::CTemplateDialog&>(dialog).GetControl(id));
};
const auto TextOf = [](QWidget& dialog, int id) {
    return dynamic_cast<ui::CTemplateDialog&>(dialog).GetControlText(id).toStdString();
};

using testsupport::Leave;
using testsupport::MessageCase;
using testsupport::PortCase;
void LeaveBy(QWidget& dialog, Leave how) {
    if (how == Leave::Close) {
        dialog.close();
    } else if (how == Leave::Ok || how == Leave::Cancel) {
        QTest::mouseClick(ButtonOf(dialog, how == Leave::Ok ? res::IDC_OK : res::IDC_CANCEL), Qt::LeftButton);
    } else {
        QTest::keyClick(&dialog, how == Leave::Enter ? Qt::Key_Return : Qt::Key_Escape);
    }
}

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_controller->SetReferenceRect(WindowRect{0, 0, 1000, 700});
        m_controller->SetStatus(STATUS_LINE_PORT_PROMPT);
    }

    uitest::NoDevices m_devices;
    std::unique_ptr<CUpdateController> m_controller = std::make_unique<CUpdateController>(m_devices);
    ui::CControllerHost m_host{*m_controller};
    ui::CQtUpdateUi m_ui{m_host, nullptr, nullptr};
};

// --- Port dialog ---

class PortDialogTest : public DialogTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortDialogTest, StoresThePortAndSwitchesTheStatusLineOnlyOnOk) {
    const PortCase& c = GetParam();
    int16_t port = -5;
    // The dialog opens on AUTO every time, whatever was chosen the last time.
    const auto show = [&](int buttonToCheck, Leave leave) {
        ActOnModal([&, buttonToCheck, leave](QWidget& dialog) {
            EXPECT_TRUE(ButtonOf(dialog, res::IDC_PORT_AUTO)->isChecked());
            if (buttonToCheck != 0) {
                QTest::mouseClick(ButtonOf(dialog, buttonToCheck), Qt::LeftButton);
            }
            LeaveBy(dialog, leave);
        });
        return m_ui.ShowPortDialog(port);
    };
    EXPECT_EQ(show(c.buttonToCheck, c.leave), c.expectedResult);
    EXPECT_EQ(port, c.expectedPort);
    EXPECT_EQ(m_controller->StatusText(),
              res::LoadString(c.expectedResult == 1 ? res::IDS_SEARCHING : res::IDS_SELECT_PORT));
    EXPECT_EQ(show(0, Leave::Esc), 2);
}

INSTANTIATE_TEST_SUITE_P(Ports, PortDialogTest, ::testing::ValuesIn(testsupport::PORT_CASES),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Message dialogs ---

class MessageDialogTest : public DialogTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(MessageDialogTest, ShowsTheTextAndButtonsWithTheirResults) {
    const MessageCase& c = GetParam();
    ui::CMessageDlg dialog(static_cast<int>(c.dialog), nullptr, nullptr);
    dialog.SetText(c.text);
    dialog.PrepareDialog();
    EXPECT_EQ(dialog.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_EQ(TextOf(dialog, res::IDC_OK), c.button1);
    EXPECT_EQ(dialog.GetControl(res::IDC_CANCEL) != nullptr ? TextOf(dialog, res::IDC_CANCEL) : "-",
              c.button2 != nullptr ? c.button2 : "-");
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);

    // Through the controller's interface: each button and key with its result; line breaks kept.
    for (const auto& [how, expected] : {std::pair{Leave::Ok, 1},
                                        {Leave::Enter, 1},
                                        {Leave::Esc, 2},
                                        {Leave::Close, 2},
                                        {Leave::Cancel, 2}}) {
        if (how == Leave::Cancel && c.button2 == nullptr) {
            break;
        }
        std::string shown;
        ActOnModal([&, way = how](QWidget& d) {
            shown = TextOf(d, res::IDC_TEXT);
            LeaveBy(d, way);
        });
        EXPECT_EQ(m_ui.ShowMessageDialog(c.dialog, c.text), expected);
        EXPECT_EQ(shown, c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Templates, MessageDialogTest, ::testing::ValuesIn(testsupport::MESSAGE_CASES),
                         [](const auto& p) { return std::string(p.param.name); });

// Every prompt shows the arrow while the busy cursor is set (a file read error comes while loading), and
// the busy cursor is back once the prompt is answered.
TEST_F(DialogTest, PromptsShowTheArrowUnderTheBusyCursor) {
    const std::function<void()> prompts[] = {
        [this] { m_ui.ShowFileError("File read error!"); },
        [this] { m_ui.ShowMessageDialog(MessageDialog::FileCheck, "wrong"); },
        [this] {
            std::string path;
            m_ui.ChooseFile("Firmware Files (*.fw )   |*.fw||  ", "*.fw ", path);
        },
    };
    m_ui.SetBusyCursor(true);
    for (const auto& prompt : prompts) {
        Qt::CursorShape shown = Qt::BlankCursor;
        ActOnModal([&](QWidget& d) {
            shown = QApplication::overrideCursor()->shape();
            qobject_cast<QDialog*>(&d)->reject();
        });
        prompt();
        EXPECT_EQ(shown, Qt::ArrowCursor);
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    m_ui.SetBusyCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The type list shows a description as the filter text writes it when its parenthesised patterns are the
// filter's; otherwise what the filter matches.
TEST(FileFilterTest, DescriptionsShowTheFilterAsWritten) {
    const std::pair<const char*, QStringList> rows[] = {
        {"Firmware Files (*.fw )   |*.fw||  ", {"Firmware Files (*.fw )"}},
        {"Images|*.png;*.jpg|All (*.*)|*.*||", {"Images (*.png *.jpg)", "All (*.*)"}},
        {"Old (*.bin)|*.fw|Rest||", {"Old (*.fw)"}},
    };
    for (const auto& [filter, shown] : rows) {
        EXPECT_EQ(ui::ConvertFileFilter(filter), shown) << filter;
    }
}

TEST_F(DialogTest, CentredOnTheViewWithNegativePositionsRaisedToZero) {
    for (const WindowRect reference : {WindowRect{0, 0, 1001, 701}, WindowRect{0, 0, 100, 700},
                                       WindowRect{0, 0, 1000, 40}, WindowRect{0, 0, 0, 0}}) {
        m_controller->SetReferenceRect(reference);
        ui::CMessageDlg dialog(res::IDD_NOT_FOUND, &m_host, nullptr);
        dialog.PrepareDialog();
        const QRect frame = dialog.frameGeometry();
        EXPECT_EQ(frame.x(), std::max(0, reference.right / 2 - frame.width() / 2)) << reference.right;
        EXPECT_EQ(frame.y(), std::max(0, reference.bottom / 2 - frame.height() / 2)) << reference.bottom;
    }
}

}  // namespace
