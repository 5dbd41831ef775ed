// The port selection dialog.
#include "ui/port_dlg.h"

#include <QAbstractButton>
#include <QButtonGroup>

#include "app/update_controller.h"
#include "ui/dialog_host.h"

namespace ui {

CPortDlg::CPortDlg(IDialogHost* host, QWidget* parent)
    : CTemplateDialog(res::IDD_PORT, host, parent), m_group(new QButtonGroup(this)) {
    m_group->setExclusive(true);
    for (int id = res::IDC_PORT_AUTO; id <= res::IDC_PORT_USB; ++id) {
        if (auto* button = qobject_cast<QAbstractButton*>(GetControl(id))) {
            m_group->addButton(button, id);
        }
    }
}

void CPortDlg::CheckPortButton(int controlId) {
    if (QAbstractButton* button = m_group->button(controlId)) {
        button->setChecked(true);
    }
}

void CPortDlg::InitDialog() {
    CheckPortButton(res::IDC_PORT_AUTO);
    CTemplateDialog::InitDialog();
}

void CPortDlg::OnCommand(int controlId) {
    if (controlId != res::IDC_OK) {
        CTemplateDialog::OnCommand(controlId);
        return;
    }
    // With nothing checked the port keeps its value.
    const int checked = m_group->checkedId();
    if (checked >= res::IDC_PORT_AUTO && checked <= res::IDC_PORT_USB) {
        m_port = static_cast<int16_t>(checked - res::IDC_PORT_AUTO);
    }
    if (Host() != nullptr) {
        Host()->SetStatus(STATUS_LINE_SEARCHING);
    }
    done(res::IDC_OK);
}

}  // namespace ui
