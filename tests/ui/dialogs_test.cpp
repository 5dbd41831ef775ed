// The port dialog, the message dialogs and the file dialog's filter: texts, buttons, results, the port
// values, the status change on OK, and placement by the controller's arithmetic.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
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

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uitest::TestApplication();
        m_controller = std::make_unique<CUpdateController>(m_devices);
        m_controller->m_rcReference = WindowRect{0, 0, 1000, 700};
        m_host = std::make_unique<ui::CControllerHost>(*m_controller);
        m_ui = std::make_unique<ui::CQtUpdateUi>(*m_host, nullptr, nullptr);
        m_controller->SetStatus(STATUS_LINE_PORT_PROMPT);
    }
    void TearDown() override {
        m_ui.reset();
        m_host.reset();
        m_controller.reset();
    }

    uitest::NoDevices m_devices;
    std::unique_ptr<CUpdateController> m_controller;
    std::unique_ptr<ui::CControllerHost> m_host;
    std::unique_ptr<ui::CQtUpdateUi> m_ui;
};

TEST(DialogUnitsTest, ArialNineGivesTheBaseUnitsOfItsMetrics) {
    uitest::TestApplication();
    const res::DialogTemplate* port = res::FindDialogTemplate(res::IDD_PORT);
    ASSERT_NE(port, nullptr);
    const QFont font = ui::TemplateFont(*port);
    EXPECT_EQ(font.pixelSize(), 12);
    const QSize base = ui::DialogBaseUnits(font);
    // Arial-sized text: a handful of pixels per character, a line of about 14.
    EXPECT_GE(base.width(), 5);
    EXPECT_LE(base.width(), 8);
    EXPECT_GE(base.height(), 12);
    EXPECT_LE(base.height(), 16);
    const QRect mapped = ui::MapDialogRect(res::DialogRect{126, 70, 45, 14}, QSize(6, 14));
    EXPECT_EQ(mapped, QRect(189, 122, 67, 24));
}

// --- Port dialog ---

struct PortCase {
    const char* name;
    int buttonToCheck;  // 0: leave as opened
    bool pressOk;       // false: Quit
    int expectedResult;
    int16_t expectedPort;
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
        QTest::mouseClick(ButtonOf(dialog, c.pressOk ? res::IDC_OK : res::IDC_CANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(m_ui->ShowPortDialog(port), c.expectedResult);
    EXPECT_TRUE(autoWasChecked);
    EXPECT_EQ(port, c.expectedPort);
    if (c.pressOk) {
        EXPECT_EQ(m_controller->StatusText(), res::LoadString(res::IDS_SEARCHING));
    } else {
        EXPECT_EQ(m_controller->StatusText(), res::LoadString(res::IDS_SELECT_PORT));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortDialogTest,
    ::testing::Values(PortCase{"OkUntouchedIsAuto", 0, true, 1, 0}, PortCase{"Com1", 112, true, 1, 1},
                      PortCase{"Com7", 118, true, 1, 7}, PortCase{"Com9", 120, true, 1, 9},
                      PortCase{"Usb", 121, true, 1, 10}, PortCase{"QuitAfterChoosing", 118, false, 2, -5},
                      PortCase{"Quit", 0, false, 2, -5}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(DialogTest, PortDialogEscReturnsTwoAndEnterIsOk) {
    int16_t port = -5;
    ActOnModal([](QWidget& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); });
    EXPECT_EQ(m_ui->ShowPortDialog(port), 2);
    EXPECT_EQ(port, -5);
    EXPECT_EQ(m_controller->StatusText(), res::LoadString(res::IDS_SELECT_PORT));

    ActOnModal([](QWidget& dialog) { QTest::keyClick(&dialog, Qt::Key_Return); });
    EXPECT_EQ(m_ui->ShowPortDialog(port), 1);
    EXPECT_EQ(port, 0);
}

TEST_F(DialogTest, PortDialogIsOneExclusiveGroupAndRechecksAutoAtEveryShowing) {
    uitest::RecordingHost host;
    ui::CPortDlg dialog(&host, nullptr);
    EXPECT_EQ(dialog.windowTitle().toStdString(), res::LoadString(res::IDS_TITLE));
    EXPECT_EQ(dialog.GetControlText(res::IDC_TEXT).toStdString(), "Connect Port");
    EXPECT_EQ(dialog.GetControlText(res::IDC_OK).toStdString(), "&OK");
    EXPECT_EQ(dialog.GetControlText(res::IDC_CANCEL).toStdString(), "&Quit");
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.GetControl(res::IDC_OK))->isDefault());
    const char* names[] = {"AUTO", "COM1", "COM2", "COM3", "COM4", "COM5",
                           "COM6", "COM7", "COM8", "COM9", "USB"};
    for (int id = 111; id <= 121; ++id) {
        EXPECT_EQ(dialog.GetControlText(id).toStdString(), names[id - 111]);
    }
    // Two columns: COM6..USB right of AUTO..COM5.
    EXPECT_GT(dialog.GetControl(118)->x(), dialog.GetControl(113)->x() + dialog.GetControl(113)->width() / 2);
    EXPECT_EQ(dialog.GetControl(112)->x(), dialog.GetControl(111)->x());

    dialog.PrepareDialog();
    dialog.CheckPortButton(114);
    int checked = 0;
    for (int id = 111; id <= 121; ++id) {
        checked += ButtonOf(dialog, id)->isChecked() ? 1 : 0;
    }
    EXPECT_EQ(checked, 1);
    EXPECT_TRUE(ButtonOf(dialog, 114)->isChecked());
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
    EXPECT_EQ(dialog.GetControlText(res::IDC_TEXT).toStdString(), c.text);  // line breaks kept
    auto* label = qobject_cast<QLabel*>(dialog.GetControl(res::IDC_TEXT));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(dialog.GetControlText(res::IDC_OK).toStdString(), c.button1);
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.GetControl(res::IDC_OK))->isDefault());
    if (c.button2 != nullptr) {
        EXPECT_EQ(dialog.GetControlText(res::IDC_CANCEL).toStdString(), c.button2);
    } else {
        EXPECT_EQ(dialog.GetControl(res::IDC_CANCEL), nullptr);
    }
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);

    // Through the controller's interface: each button and key with its result.
    std::vector<std::pair<std::function<void(QWidget&)>, int>> actions{
        {[](QWidget& d) { QTest::mouseClick(ButtonOf(d, res::IDC_OK), Qt::LeftButton); }, 1},
        {[](QWidget& d) { QTest::keyClick(&d, Qt::Key_Return); }, 1},
        {[](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 2},
    };
    if (c.button2 != nullptr) {
        actions.push_back(
            {[](QWidget& d) { QTest::mouseClick(ButtonOf(d, res::IDC_CANCEL), Qt::LeftButton); }, 2});
    }
    for (const auto& [action, expected] : actions) {
        std::string shown;
        ActOnModal([&, act = action](QWidget& d) {
            shown = dynamic_cast<ui::CTemplateDialog&>(d).GetControlText(res::IDC_TEXT).toStdString();
            act(d);
        });
        EXPECT_EQ(m_ui->ShowMessageDialog(c.dialog, c.text), expected);
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
    dialog.SetText(res::LoadString(res::IDS_WRONG_FILE));
    dialog.PrepareDialog();
    EXPECT_EQ(dialog.GetControlText(res::IDC_TEXT).toStdString(), res::LoadString(res::IDS_WRONG_FILE));
    dialog.SetText(res::LoadString(res::IDS_VERSION_MATCHES));
    dialog.PrepareDialog();
    EXPECT_EQ(dialog.GetControlText(res::IDC_TEXT).toStdString(), res::LoadString(res::IDS_VERSION_MATCHES));
}

// --- Placement through the controller ---

struct PlacementCase {
    WindowRect reference;
    bool expectZeroX;
    bool expectZeroY;
};

class PlacementTest : public DialogTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, CentresOnTheViewAndRaisesNegativePositionsToZero) {
    const PlacementCase& c = GetParam();
    m_controller->m_rcReference = c.reference;
    ui::CNotFoundDlg dialog(m_host.get(), nullptr);
    dialog.PrepareDialog();
    const QRect frame = dialog.frameGeometry();
    const int w = c.reference.right - c.reference.left;
    const int h = c.reference.bottom - c.reference.top;
    const int x = w / 2 - frame.width() / 2;
    const int y = h / 2 - frame.height() / 2;
    EXPECT_EQ(frame.x(), c.expectZeroX ? 0 : x);
    EXPECT_EQ(frame.y(), c.expectZeroY ? 0 : y);
    EXPECT_EQ(x < 0, c.expectZeroX);
    EXPECT_EQ(y < 0, c.expectZeroY);
}

INSTANTIATE_TEST_SUITE_P(References, PlacementTest,
                         ::testing::Values(PlacementCase{{0, 0, 1001, 701}, false, false},
                                           PlacementCase{{0, 0, 100, 700}, true, false},
                                           PlacementCase{{0, 0, 1000, 40}, false, true},
                                           PlacementCase{{0, 0, 0, 0}, true, true}));

TEST_F(DialogTest, DialogSizeFollowsTheTemplateInDialogUnits) {
    ui::CPortDlg dialog(nullptr, nullptr);
    const QSize base = dialog.BaseUnits();
    EXPECT_EQ(dialog.size(), QSize(187 * base.width() / 4, 116 * base.height() / 8));
    EXPECT_EQ(
        dialog.GetControl(res::IDC_OK)->geometry(),
        QRect(126 * base.width() / 4, 70 * base.height() / 8, 45 * base.width() / 4, 14 * base.height() / 8));
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
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("x");
    }
    std::string path = "unchanged";
    ActOnModal([](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); });
    EXPECT_EQ(m_ui->ChooseFile(res::LoadString(res::IDS_FILE_FILTER), "*.fw ", path),
              FileDialogResult::Cancelled);
    EXPECT_EQ(path, "unchanged");

    ActOnModal([file](QWidget& d) {
        auto& dialog = dynamic_cast<QFileDialog&>(d);
        EXPECT_EQ(dialog.nameFilters(), QStringList{"Firmware Files (*.fw)"});
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
        dialog.selectFile(file);
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(m_ui->ChooseFile(res::LoadString(res::IDS_FILE_FILTER), "*.fw ", path),
              FileDialogResult::Chosen);
    EXPECT_EQ(path, QFile::encodeName(QFileInfo(file).absoluteFilePath()).toStdString());
    QFile::remove(file);
}

}  // namespace
