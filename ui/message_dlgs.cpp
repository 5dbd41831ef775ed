// The message dialogs: the text goes into control 100 before the dialog is placed.
#include "ui/message_dlgs.h"

#include <QAbstractButton>
#include <QLabel>

namespace ui {

void CMessageDlg::InitDialog() {
    // Latin-1 keeps every byte of the camera's and the file's characters as one character on screen.
    SetControlText(res::IDC_TEXT, QString::fromLatin1(m_text.data(), static_cast<qsizetype>(m_text.size())));
    if (!m_causeLine.empty()) {
        AddCauseLine();
    }
    CTemplateDialog::InitDialog();
}

// The line sits under the text control, as wide as it; everything below the text moves down by the
// line's wrapped height.
void CMessageDlg::AddCauseLine() {
    QWidget* text = GetControl(res::IDC_TEXT);
    if (text == nullptr || findChild<QLabel*>(QStringLiteral("causeLine")) != nullptr) {
        return;
    }
    auto* line =
        new QLabel(QString::fromUtf8(m_causeLine.data(), static_cast<qsizetype>(m_causeLine.size())), this);
    line->setObjectName(QStringLiteral("causeLine"));
    line->setTextFormat(Qt::PlainText);
    line->setWordWrap(true);
    line->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    const int top = text->geometry().bottom() + 1;
    const int height = line->heightForWidth(text->width()) + BaseUnits().height() / 2;
    line->setGeometry(text->x(), top, text->width(), height);
    for (QAbstractButton* button : findChildren<QAbstractButton*>()) {
        button->move(button->x(), button->y() + height);
    }
    setFixedSize(width(), this->height() + height);
    line->show();
}

}  // namespace ui
