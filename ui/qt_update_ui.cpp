// The Qt implementation of the controller's user interface.
#include "ui/qt_update_ui.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QMessageBox>
#include <QWidget>

#include "common/clock.h"
#include "res/dialog_templates.h"
#include "ui/bitmaps.h"
#include "ui/dialog_host.h"
#include "ui/firmware_file_dlg.h"
#include "ui/message_dlgs.h"
#include "ui/port_dlg.h"
#include "ui/progress_dlg.h"

namespace ui {
namespace {

// A prompt waits for the user's answer, so it shows the arrow even while the busy cursor is set (a file
// read error comes in the middle of loading the image, under the busy cursor).
class CPromptCursor {
  public:
    CPromptCursor() { QApplication::setOverrideCursor(QCursor(Qt::ArrowCursor)); }
    ~CPromptCursor() { QApplication::restoreOverrideCursor(); }
    CPromptCursor(const CPromptCursor&) = delete;
    CPromptCursor& operator=(const CPromptCursor&) = delete;
};

}  // namespace

CQtUpdateUi::CQtUpdateUi(IDialogHost& host, QWidget* view, QWidget* owner)
    : m_host(host), m_view(view), m_owner(owner), m_strip(LoadDigitStrip()) {
    // While the update waits, the program still answers the window system: repaints of exposed areas,
    // the window manager's liveness check (_NET_WM_PING), its close requests (which the notice and the
    // running frame ignore). User input stays queued, and the workflow is never entered from here: its
    // only start is the view's one-shot timer, spent before the update begins.
    InstallIdleHook([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
}

CQtUpdateUi::~CQtUpdateUi() {
    InstallIdleHook({});
    while (m_busyDepth > 0) {
        SetBusyCursor(false);
    }
}

WindowRect CQtUpdateUi::GetViewRect() {
    if (m_view == nullptr) {
        return WindowRect{};
    }
    const QRect client = m_view->rect();
    return WindowRect{0, 0, client.width(), client.height()};
}

int CQtUpdateUi::ShowPortDialog(int16_t& port) {
    const CPromptCursor arrow;
    CPortDlg dialog(&m_host, m_owner);
    const int result = dialog.DoModal();
    if (result == res::IDC_OK) {
        port = dialog.Port();
    }
    return result;
}

int CQtUpdateUi::ShowMessageDialog(MessageDialog dialog, const std::string& text) {
    const CPromptCursor arrow;
    CMessageDlg message(TemplateOf(dialog), &m_host, m_owner);
    message.SetText(text);
    return message.DoModal();
}

int CQtUpdateUi::ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) {
    const CPromptCursor arrow;
    CMessageDlg message(TemplateOf(dialog), &m_host, m_owner);
    message.SetText(text);
    message.SetCauseLine(OutcomeCauseLine(cause));
    return message.DoModal();
}

FileDialogResult CQtUpdateUi::ChooseFile(const std::string& filter, const std::string& initialName,
                                         std::string& path) {
    const CPromptCursor arrow;
    CFirmwareFileDlg dialog(filter, initialName, &m_host, m_owner);
    if (dialog.DoModal() != QDialog::Accepted) {
        return FileDialogResult::Cancelled;
    }
    path = dialog.GetPathName();
    // A chosen file always has a path; an empty one means the dialog did not work.
    return path.empty() ? FileDialogResult::Failed : FileDialogResult::Chosen;
}

void CQtUpdateUi::ShowFileError(const std::string& text) {
    const CPromptCursor arrow;
    const res::DialogTemplate* port = res::FindDialogTemplate(res::IDD_PORT);
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(port != nullptr ? port->caption : ""),
                    QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())), QMessageBox::Ok,
                    m_owner);
    box.exec();
}

void CQtUpdateUi::Beep(BeepKind kind) {
    switch (kind) {
        case BeepKind::Simple:
        case BeepKind::Ok:
            QApplication::beep();
            return;
    }
}

void CQtUpdateUi::SetBusyCursor(bool busy) {
    if (busy) {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        ++m_busyDepth;
        return;
    }
    if (m_busyDepth == 0) {
        return;
    }
    QApplication::restoreOverrideCursor();
    --m_busyDepth;
}

void CQtUpdateUi::RepaintView() {
    if (m_view != nullptr) {
        m_view->repaint();
    }
}

bool CQtUpdateUi::OpenNotice(DownloadPhase /*phase*/) {
    CloseNotice();
    m_notice = std::make_unique<CProgressDlg>(m_strip, &m_host, m_owner);
    m_notice->OpenNotice();
    return true;
}

bool CQtUpdateUi::PaintNotice(uint32_t /*eventKind*/, int32_t value, const char* text) {
    if (m_notice == nullptr) {
        return false;
    }
    return m_notice->ShowProgress(value, text);
}

void CQtUpdateUi::CloseNotice() {
    if (m_notice == nullptr) {
        return;
    }
    m_notice->hide();
    m_notice.reset();
}

}  // namespace ui
