// The message dialogs: the text goes into control 100 before the dialog is placed.
#include "ui/message_dlgs.h"

namespace ui {

void CMessageDlg::InitDialog() {
    // Latin-1 keeps every byte of the camera's and the file's characters as one character on screen.
    SetControlText(res::IDC_TEXT, QString::fromLatin1(m_text.data(), static_cast<qsizetype>(m_text.size())));
    CTemplateDialog::InitDialog();
}

}  // namespace ui
