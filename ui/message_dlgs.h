// The five message dialogs: one centred text (control 100, line breaks kept) and one or two buttons, on
// templates 103, 105, 104, 1538 and 1539. The caller supplies the finished text; the dialog shows it,
// places itself through the host and returns 1 for its default button, 2 for Quit and Esc.
#pragma once

#include <string>

#include "ui/template_dialog.h"

namespace ui {

class CMessageDlg : public CTemplateDialog {
  public:
    CMessageDlg(int templateId, IDialogHost* host, QWidget* parent)
        : CTemplateDialog(templateId, host, parent) {}

    // The text shown at the next showing.
    void SetText(const std::string& text) { m_text = text; }

  protected:
    void InitDialog() override;

  private:
    std::string m_text;
};

// "Selected file is wrong" or "Selected firmware matches camera version": Continue (1) and Quit (2).
class CFileCheckDlg final : public CMessageDlg {
  public:
    CFileCheckDlg(IDialogHost* host, QWidget* parent) : CMessageDlg(res::IDD_FILE_CHECK, host, parent) {}
};

// "File selection was canceled !": Continue (1) and Quit (2).
class CFileCancelDlg final : public CMessageDlg {
  public:
    CFileCancelDlg(IDialogHost* host, QWidget* parent) : CMessageDlg(res::IDD_FILE_CANCEL, host, parent) {}
};

// The installed version: OK (1).
class CSuccessDlg final : public CMessageDlg {
  public:
    CSuccessDlg(IDialogHost* host, QWidget* parent) : CMessageDlg(res::IDD_SUCCESS, host, parent) {}
};

// The update failed: its single Quit button has identifier 1.
class CUpdateFailedDlg final : public CMessageDlg {
  public:
    CUpdateFailedDlg(IDialogHost* host, QWidget* parent)
        : CMessageDlg(res::IDD_UPDATE_FAILED, host, parent) {}
};

// The camera was not found: Exit (1).
class CNotFoundDlg final : public CMessageDlg {
  public:
    CNotFoundDlg(IDialogHost* host, QWidget* parent) : CMessageDlg(res::IDD_NOT_FOUND, host, parent) {}
};

}  // namespace ui
