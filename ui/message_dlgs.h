// The five message dialogs, one class on their templates 103, 105, 104, 1538 and 1539: one centred text
// (control 100, line breaks kept) and one or two buttons. The caller supplies the finished text; the
// dialog shows it, places itself through the host and returns 1 for its default button, 2 for Quit and
// Esc.
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

}  // namespace ui
