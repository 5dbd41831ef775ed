// The port dialog, the message dialogs and the file dialog: texts, buttons and keys with their results,
// the port values, the status change on OK, template geometry, and placement by the controller.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/update_controller.h"
#include "res/strings.h"
#include "tests/ui/ui_test_support.h"
#include "ui/controller_host.h"
#include "ui/dialog_units.h"
#include "ui/firmware_file_dlg.h"
#include "ui/message_dlgs.h"
#include "ui/port_dlg.h"
#include "ui/qt_update_ui.h"

namespace {

using uitest::ActOnModal;

QAbstractButton* ButtonOf(QWidget& dialog, int id) {
    auto* templ = dynamic_cast<ui::CTemplateDialog*>(&dialog);
    return templ == nullptr ? nullptr : qobject_cast<QAbstractButton*>(templ->GetControl(id));
}
std::string TextOf(const ui::CTemplateDialog& dialog, int id) {
    return dialog.GetControlText(id).toStdString();
}

// The ways a user leaves a dialog.
enum class Leave { Ok, Cancel, Enter, Esc };
void LeaveBy(QWidget& dialog, Leave how) {
    if (how == Leave::Ok || how == Leave::Cancel) {
        QTest::mouseClick(ButtonOf(dialog, how == Leave::Ok ? res::IDC_OK : res::IDC_CANCEL), Qt::LeftButton);
    } else {
        QTest::keyClick(&dialog, how == Leave::Enter ? Qt::Key_Return : Qt::Key_Escape);
    }
}

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uitest::TestApplication();
        m_controller->m_rcReference = WindowRect{0, 0, 1000, 700};
        m_controller->SetStatus(STATUS_LINE_PORT_PROMPT);
    }

    uitest::NoDevices m_devices;
    std::unique_ptr<CUpdateController> m_controller = std::make_unique<CUpdateController>(m_devices);
    ui::CControllerHost m_host{*m_controller};
    ui::CQtUpdateUi m_ui{m_host, nullptr, nullptr};
};

TEST(DialogUnitsTest, ArialNineGivesTheBaseUnitsOfItsMetrics) {
    uitest::TestApplication();
    const QFont font = ui::TemplateFont(*res::FindDialogTemplate(res::IDD_PORT));
    EXPECT_EQ(font.pixelSize(), 12);
    const QSize base = ui::DialogBaseUnits(font);  // a handful of pixels per character, a line of about 14
    EXPECT_TRUE(base.width() >= 5 && base.width() <= 8) << base.width();
    EXPECT_TRUE(base.height() >= 12 && base.height() <= 16) << base.height();
    EXPECT_EQ(ui::MapDialogRect(res::DialogRect{126, 70, 45, 14}, QSize(6, 14)), QRect(189, 122, 67, 24));
}

TEST_F(DialogTest, DialogSizeFollowsTheTemplateInDialogUnits) {
    ui::CPortDlg dialog(nullptr, nullptr);
    const int bx = dialog.BaseUnits().width();
    const int by = dialog.BaseUnits().height();
    EXPECT_EQ(dialog.size(), QSize(187 * bx / 4, 116 * by / 8));
    EXPECT_EQ(dialog.GetControl(res::IDC_OK)->geometry(),
              QRect(126 * bx / 4, 70 * by / 8, 45 * bx / 4, 14 * by / 8));
}

// --- Port dialog ---

struct PortCase {
    const char* name;
    int buttonToCheck;  // 0: leave as opened
    Leave leave;
    int expectedResult;
    int16_t expectedPort;  // -5: unchanged
};

class PortDialogTest : public DialogTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortDialogTest, StoresThePortAndSwitchesTheStatusLineOnlyOnOk) {
    const PortCase& c = GetParam();
    int16_t port = -5;
    bool autoWasChecked = false;
    ActOnModal([&](QWidget& dialog) {
        autoWasChecked = ButtonOf(dialog, res::IDC_PORT_AUTO)->isChecked();
        if (c.buttonToCheck != 0) {
            QTest::mouseClick(ButtonOf(dialog, c.buttonToCheck), Qt::LeftButton);
        }
        LeaveBy(dialog, c.leave);
    });
    EXPECT_EQ(m_ui.ShowPortDialog(port), c.expectedResult);
    EXPECT_TRUE(autoWasChecked);
    EXPECT_EQ(port, c.expectedPort);
    EXPECT_EQ(m_controller->StatusText(),
              res::LoadString(c.expectedResult == 1 ? res::IDS_SEARCHING : res::IDS_SELECT_PORT));
}

INSTANTIATE_TEST_SUITE_P(Ports, PortDialogTest,
                         ::testing::Values(PortCase{"OkUntouchedIsAuto", 0, Leave::Ok, 1, 0},
                                           PortCase{"EnterIsOk", 0, Leave::Enter, 1, 0},
                                           PortCase{"Com1", 112, Leave::Ok, 1, 1},
                                           PortCase{"Com7", 118, Leave::Ok, 1, 7},
                                           PortCase{"Com9", 120, Leave::Ok, 1, 9},
                                           PortCase{"Usb", 121, Leave::Ok, 1, 10},
                                           PortCase{"QuitAfterChoosing", 118, Leave::Cancel, 2, -5},
                                           PortCase{"Esc", 0, Leave::Esc, 2, -5}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(PortDialogLayout, OneExclusiveGroupInTwoColumnsThatRechecksAutoAtEveryShowing) {
    uitest::TestApplication();
    uitest::RecordingHost host;
    ui::CPortDlg dialog(&host, nullptr);
    EXPECT_EQ(dialog.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_EQ(TextOf(dialog, res::IDC_TEXT), "Connect Port");
    EXPECT_EQ(TextOf(dialog, res::IDC_OK), "&OK");
    EXPECT_EQ(TextOf(dialog, res::IDC_CANCEL), "&Quit");
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.GetControl(res::IDC_OK))->isDefault());
    const char* names[] = {"AUTO", "COM1", "COM2", "COM3", "COM4", "COM5",
                           "COM6", "COM7", "COM8", "COM9", "USB"};
    for (int id = 111; id <= 121; ++id) {
        EXPECT_EQ(TextOf(dialog, id), names[id - 111]);
    }
    EXPECT_GT(dialog.GetControl(118)->x(), dialog.GetControl(113)->x() + dialog.GetControl(113)->width() / 2);
    EXPECT_EQ(dialog.GetControl(112)->x(), dialog.GetControl(111)->x());

    dialog.PrepareDialog();
    dialog.CheckPortButton(114);
    int checked = 0;
    for (int id = 111; id <= 121; ++id) {
        checked += ButtonOf(dialog, id)->isChecked() ? 1 : 0;
    }
    EXPECT_EQ(checked, 1);
    dialog.PrepareDialog();
    EXPECT_TRUE(ButtonOf(dialog, res::IDC_PORT_AUTO)->isChecked());
    EXPECT_TRUE(host.statusKinds.empty());
    EXPECT_EQ(host.dialogSizes.size(), 2u);
}

// --- Message dialogs ---

struct MessageCase {
    const char* name;
    MessageDialog dialog;
    const char* text;
    const char* button1;
    const char* button2;  // nullptr: single button
};

class MessageDialogTest : public DialogTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(MessageDialogTest, ShowsTheTextAndButtonsWithTheirResults) {
    const MessageCase& c = GetParam();
    ui::CMessageDlg dialog(static_cast<int>(c.dialog), nullptr, nullptr);
    dialog.SetText(c.text);
    dialog.PrepareDialog();
    EXPECT_EQ(dialog.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_TRUE(qobject_cast<QLabel*>(dialog.GetControl(res::IDC_TEXT))->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(TextOf(dialog, res::IDC_OK), c.button1);
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.GetControl(res::IDC_OK))->isDefault());
    if (c.button2 != nullptr) {
        EXPECT_EQ(TextOf(dialog, res::IDC_CANCEL), c.button2);
    } else {
        EXPECT_EQ(dialog.GetControl(res::IDC_CANCEL), nullptr);
    }
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);

    // Through the controller's interface: each button and key with its result; line breaks kept.
    std::vector<std::pair<Leave, int>> ways{{Leave::Ok, 1}, {Leave::Enter, 1}, {Leave::Esc, 2}};
    if (c.button2 != nullptr) {
        ways.emplace_back(Leave::Cancel, 2);
    }
    for (const auto& [how, expected] : ways) {
        std::string shown;
        ActOnModal([&, way = how](QWidget& d) {
            shown = TextOf(dynamic_cast<ui::CTemplateDialog&>(d), res::IDC_TEXT);
            LeaveBy(d, way);
        });
        EXPECT_EQ(m_ui.ShowMessageDialog(c.dialog, c.text), expected);
        EXPECT_EQ(shown, c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Templates, MessageDialogTest,
    ::testing::Values(
        MessageCase{"WrongFile", MessageDialog::FileCheck, res::LoadString(res::IDS_WRONG_FILE), "Continue",
                    "Quit"},
        MessageCase{"VersionMatches", MessageDialog::FileCheck, res::LoadString(res::IDS_VERSION_MATCHES),
                    "Continue", "Quit"},
        MessageCase{"FileCancel", MessageDialog::FileCancel, res::LoadString(res::IDS_FILE_CANCELLED),
                    "Continue", "Quit"},
        MessageCase{"Success", MessageDialog::Success,
                    "Firmware 2.0a was successfully installed in your Corva QX410 Zoom Digital Camera !",
                    "OK", nullptr},
        MessageCase{"UpdateFailed", MessageDialog::UpdateFailed, res::LoadString(res::IDS_UPDATE_FAILED),
                    "Quit", nullptr},
        MessageCase{"NotFound", MessageDialog::NotFound, res::LoadString(res::IDS_NOT_FOUND), "Exit",
                    nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(DialogTest, OneFileCheckDialogShowsEachTextItIsGiven) {
    ui::CFileCheckDlg dialog(nullptr, nullptr);
    for (const auto id : {res::IDS_WRONG_FILE, res::IDS_VERSION_MATCHES}) {
        dialog.SetText(res::LoadString(id));
        dialog.PrepareDialog();
        EXPECT_EQ(TextOf(dialog, res::IDC_TEXT), res::LoadString(id));
    }
}

TEST_F(DialogTest, CentredOnTheViewWithNegativePositionsRaisedToZero) {
    for (const WindowRect reference : {WindowRect{0, 0, 1001, 701}, WindowRect{0, 0, 100, 700},
                                       WindowRect{0, 0, 1000, 40}, WindowRect{0, 0, 0, 0}}) {
        m_controller->m_rcReference = reference;
        ui::CNotFoundDlg dialog(&m_host, nullptr);
        dialog.PrepareDialog();
        const QRect frame = dialog.frameGeometry();
        EXPECT_EQ(frame.x(), std::max(0, reference.right / 2 - frame.width() / 2)) << reference.right;
        EXPECT_EQ(frame.y(), std::max(0, reference.bottom / 2 - frame.height() / 2)) << reference.bottom;
    }
}

// --- File dialog ---

TEST(FileFilterTest, ConvertsPairsIntoQtNameFilters) {
    const std::vector<std::pair<std::string, QStringList>> cases{
        {res::LoadString(res::IDS_FILE_FILTER), {"Firmware Files (*.fw)"}},
        {"Images|*.fw;*.bin||", {"Images (*.fw *.bin)"}},
        {"A (*.a)|*.a|B|*.b||", {"A (*.a)", "B (*.b)"}},
        {"", {}},
        {"Broken|", {}},
        {"|*.x||", {"(*.x)"}},
    };
    for (const auto& [filter, expected] : cases) {
        EXPECT_EQ(ui::ConvertFileFilter(filter), expected) << filter;
    }
}

TEST_F(DialogTest, FileDialogReturnsThePathOrCancelled) {
    const QString file = QDir::temp().filePath(QStringLiteral("qx_ui_test_image.fw"));
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.close();
    const std::string filter = res::LoadString(res::IDS_FILE_FILTER);
    std::string path = "unchanged";
    ActOnModal([](QWidget& d) { LeaveBy(d, Leave::Esc); });
    EXPECT_EQ(m_ui.ChooseFile(filter, "*.fw ", path), FileDialogResult::Cancelled);
    EXPECT_EQ(path, "unchanged");

    ActOnModal([file](QWidget& d) {
        auto& dialog = dynamic_cast<QFileDialog&>(d);
        EXPECT_EQ(dialog.nameFilters(), QStringList{"Firmware Files (*.fw)"});
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
        dialog.selectFile(file);
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(m_ui.ChooseFile(filter, "*.fw ", path), FileDialogResult::Chosen);
    EXPECT_EQ(path, QFile::encodeName(QFileInfo(file).absoluteFilePath()).toStdString());
    QFile::remove(file);
}

}  // namespace
