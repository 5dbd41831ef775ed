// The Qt user interface of the update controller: the modal prompts, the file chooser, the file-error
// message box, beeps, the busy cursor, repaints of the main view and the progress notice. All calls
// run on the GUI thread from inside the workflow and leave what they show painted when they return.
#pragma once

#include <QImage>
#include <QPointer>
#include <memory>

#include "app/update_ui.h"

class QWidget;

namespace ui {

class IDialogHost;
class CProgressDlg;

class CQtUpdateUi final : public IUpdateUi {
  public:
    // view: the main view (its client rectangle places the dialogs, it is repainted before prompts);
    // owner: the main window that owns the dialogs. Either may be null in tests. The digit strip is
    // loaded here once.
    CQtUpdateUi(IDialogHost& host, QWidget* view, QWidget* owner);
    ~CQtUpdateUi() override;
    CQtUpdateUi(const CQtUpdateUi&) = delete;
    CQtUpdateUi& operator=(const CQtUpdateUi&) = delete;

    // Replaces the digit strip (a null image: no percentage is drawn).
    void SetDigitStrip(const QImage& strip) { m_strip = strip; }

    WindowRect GetViewRect() override;
    int ShowPortDialog(int16_t& port) override;
    int ShowMessageDialog(MessageDialog dialog, const std::string& text) override;
    int ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) override;
    FileDialogResult ChooseFile(const std::string& filter, const std::string& initialName,
                                std::string& path) override;
    void ShowFileError(const std::string& text) override;
    void Beep(BeepKind kind) override;
    void SetBusyCursor(bool busy) override;
    void RepaintView() override;
    bool OpenNotice(DownloadPhase phase) override;
    bool PaintNotice(uint32_t eventKind, int32_t value, const char* text) override;
    void CloseNotice() override;

    // The open notice, or nullptr.
    CProgressDlg* Notice() const { return m_notice.get(); }

  private:
    IDialogHost& m_host;
    QPointer<QWidget> m_view;
    QPointer<QWidget> m_owner;
    QImage m_strip;
    std::unique_ptr<CProgressDlg> m_notice;
    int m_busyDepth = 0;
};

}  // namespace ui
