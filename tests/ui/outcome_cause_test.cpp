// The line the outcome dialogs add under their own text for a cause on this machine: which causes get
// one and its exact words, the dialog's own text left as it is, and the line placed between the text
// and the button with the dialog grown to hold it. Run offscreen.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>

#include "app/update_controller.h"
#include "res/strings.h"
#include "tests/ui/ui_test_support.h"
#include "ui/controller_host.h"
#include "ui/message_dlgs.h"
#include "ui/qt_update_ui.h"

namespace {

struct CauseLineRow {
    const char* name;
    HostCause cause;
    std::string line;  // empty: the dialog shows its own text alone
};

void PrintTo(const CauseLineRow& row, std::ostream* out) {
    *out << row.name;
}

HostCause Cause(LinkCause kind, bool usb, const char* port, const char* device) {
    HostCause cause;
    cause.cause = kind;
    cause.usb = usb;
    cause.port = port;
    cause.device = device;
    return cause;
}

HostCause Held() {
    HostCause cause = Cause(LinkCause::HeldByAnotherProgram, false, "COM2", "/dev/ttyUSB0");
    cause.holders = "qx410fw-cli (pid 4242)";
    return cause;
}

HostCause Denied(platform::AccessFix fix, const char* group) {
    HostCause cause = Cause(LinkCause::PermissionDenied, false, "COM1", "/dev/ttyUSB0");
    cause.fix = fix;
    cause.fixGroup = group;
    cause.node.owner = "root";
    cause.node.group = group;
    return cause;
}

HostCause UsbDenied() {
    HostCause cause = Cause(LinkCause::PermissionDenied, true, "\\\\.\\QX410U-001", "/dev/bus/usb/001/007");
    cause.fix = platform::AccessFix::UdevRule;
    return cause;
}

class OutcomeCauseLineTest : public ::testing::TestWithParam<CauseLineRow> {
  protected:
    uitest::NoDevices m_devices;
    std::unique_ptr<CUpdateController> m_controller = std::make_unique<CUpdateController>(m_devices);
    ui::CControllerHost m_host{*m_controller};
    ui::CQtUpdateUi m_ui{m_host, nullptr, nullptr};
};

TEST_P(OutcomeCauseLineTest, AddsOneLineUnderTheDialogsOwnText) {
    const CauseLineRow& row = GetParam();
    EXPECT_EQ(OutcomeCauseLine(row.cause), row.line);

    m_controller->SetReferenceRect(WindowRect{0, 0, 1000, 700});
    const std::string text = res::LoadString(res::IDS_NOT_FOUND);
    ui::CMessageDlg plain(res::IDD_NOT_FOUND, &m_host, nullptr);
    plain.SetText(text);
    plain.PrepareDialog();

    std::string shownText;
    std::string shownLine = "-";
    QRect textRect, lineRect, buttonRect;
    QSize size;
    uitest::ActOnModal([&](QWidget& dialog) {
        auto& messages = dynamic_cast<ui::CTemplateDialog&>(dialog);
        shownText = messages.GetControlText(res::IDC_TEXT).toStdString();
        textRect = messages.GetControl(res::IDC_TEXT)->geometry();
        buttonRect = messages.GetControl(res::IDC_OK)->geometry();
        size = dialog.size();
        if (const auto* line = dialog.findChild<QLabel*>(QStringLiteral("causeLine"))) {
            shownLine = line->text().toStdString();
            lineRect = line->geometry();
        }
        qobject_cast<QAbstractButton*>(messages.GetControl(res::IDC_OK))->click();
    });
    EXPECT_EQ(m_ui.ShowOutcomeDialog(MessageDialog::NotFound, text, row.cause), DIALOG_OK);
    EXPECT_EQ(shownText, text);
    if (row.line.empty()) {
        EXPECT_EQ(shownLine, "-");
        EXPECT_EQ(size, plain.size());
        return;
    }
    EXPECT_EQ(shownLine, row.line);
    EXPECT_GT(lineRect.top(), textRect.bottom());
    EXPECT_GT(buttonRect.top(), lineRect.bottom());
    EXPECT_EQ(size.height() - plain.height(), lineRect.height());
    EXPECT_EQ(buttonRect.top() - plain.GetControl(res::IDC_OK)->y(), lineRect.height());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, OutcomeCauseLineTest,
    ::testing::Values(
        CauseLineRow{
            "HeldByAnotherProgram", Held(),
            "COM2 (/dev/ttyUSB0): held by another program (qx410fw-cli (pid 4242)); do not switch that "
            "camera off: let that program finish or close it, then try again."},
        CauseLineRow{
            "PermissionDeniedDialout", Denied(platform::AccessFix::JoinGroup, "dialout"),
            "COM1 (/dev/ttyUSB0): permission denied; you are not in group dialout: sudo usermod -aG dialout "
            "$USER, then log in again."},
        CauseLineRow{
            "PermissionDeniedRootOnly", Denied(platform::AccessFix::OnlyRoot, "root"),
            "COM1 (/dev/ttyUSB0): permission denied; only root may open it (root:root): no camera cable is "
            "expected there; choose the port the camera is on."},
        CauseLineRow{
            "PermissionDeniedUsbCamera", UsbDenied(),
            "\\\\.\\QX410U-001 (/dev/bus/usb/001/007): permission denied; the camera's udev rule is not in "
            "effect for you: install 70-qx410fw.rules, run sudo udevadm control --reload, then unplug the "
            "camera and plug it in again."},
        CauseLineRow{"NoSuchSerialDevice", Cause(LinkCause::NoSuchDevice, false, "COM4", ""),
                     "COM4: no such device; nothing stands for COM4 on this machine."},
        CauseLineRow{"NoCameraOnUsb", Cause(LinkCause::NoSuchDevice, true, "", ""), ""},
        CauseLineRow{"CameraSilent", Cause(LinkCause::CameraSilent, false, "COM3", "/dev/ttyUSB0"), ""},
        CauseLineRow{"Unplugged", Cause(LinkCause::Unplugged, false, "COM3", "/dev/ttyUSB0"), ""},
        CauseLineRow{"Unknown", HostCause{}, ""}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
