// The five message dialogs, one class on their templates 103, 105, 104, 1538 and 1539: one centred text
// (control 100, line breaks kept) and one or two buttons. The caller supplies the finished text; the
// dialog shows it, places itself through the host and returns 1 for its default button, 2 for Quit and
// Esc.
#pragma once

#include <string>

#include "app/host_cause.h"
#include "ui/template_dialog.h"

namespace ui {

class CMessageDlg : public CTemplateDialog {
  public:
    CMessageDlg(int templateId, IDialogHost* host, QWidget* parent)
        : CTemplateDialog(templateId, host, parent) {}

    // The text shown at the next showing.
    void SetText(const std::string& text) { m_text = text; }
    // One line shown under the text, the dialog made taller by its height and the buttons moved down
    // with it; empty for none.
    void SetCauseLine(const std::string& line) { m_causeLine = line; }

  protected:
    void InitDialog() override;

  private:
    void AddCauseLine();

    std::string m_text;
    std::string m_causeLine;
};

}  // namespace ui
