// The port selection dialog (template 107): AUTO, COM1..COM9 and USB as one exclusive radio group, OK
// and Quit. AUTO is checked at every showing; OK stores the port (button identifier - 111), switches
// the status line to the search text through the host and ends with 1; Quit and Esc end with 2 and
// change nothing.
#pragma once

#include <cstdint>

#include "protocol/camera_session.h"
#include "ui/template_dialog.h"

class QButtonGroup;

namespace ui {

class CPortDlg : public CTemplateDialog {
  public:
    CPortDlg(IDialogHost* host, QWidget* parent);

    int16_t Port() const { return m_port; }
    // Checks the radio button with the identifier (111..121), as a click would.
    void CheckPortButton(int controlId);

  protected:
    void InitDialog() override;
    void OnCommand(int controlId) override;

  private:
    QButtonGroup* m_group;
    int16_t m_port = PORT_AUTO;
};

}  // namespace ui
