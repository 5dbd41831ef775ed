// Template dialogs: controls from the template table, dialog-unit geometry, results 1 and 2.
#include "ui/template_dialog.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>

#include "ui/dialog_host.h"
#include "ui/dialog_units.h"
#include "ui/window_system.h"

namespace ui {
namespace {

// How long placement waits for the window manager to tell a new window's frame.
constexpr int FRAME_EXTENTS_WAIT_MS = 300;

}  // namespace

void ApplyDialogColours(QWidget& widget) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, QColor(192, 192, 192));
    palette.setColor(QPalette::WindowText, QColor(0, 0, 0));
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

CTemplateDialog::CTemplateDialog(int templateId, IDialogHost* host, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_templateId(templateId),
      m_host(host) {
    ApplyDialogColours(*this);
    const res::DialogTemplate* dialog = res::FindDialogTemplate(templateId);
    if (dialog == nullptr) {
        return;
    }
    setWindowTitle(QString::fromLatin1(dialog->caption));
    DeclareCaptionOnly(*this);
    const QFont font = TemplateFont(*dialog);
    setFont(font);
    m_baseUnits = DialogBaseUnits(font);
    const QRect client = MapDialogRect(dialog->rect, m_baseUnits);
    setFixedSize(client.size());
    CreateControls(*dialog);
}

void CTemplateDialog::CreateControls(const res::DialogTemplate& dialog) {
    QWidget* firstTabStop = nullptr;
    for (const res::ControlTemplate& control : dialog.controls) {
        const QString text = QString::fromLatin1(control.text);
        QWidget* widget = nullptr;
        switch (control.kind) {
            case res::ControlKind::DefaultButton:
            case res::ControlKind::Button: {
                auto* button = new QPushButton(text, this);
                button->setDefault(control.kind == res::ControlKind::DefaultButton);
                const int id = control.id;
                connect(button, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
                widget = button;
                break;
            }
            case res::ControlKind::GroupBox:
                widget = new QGroupBox(text, this);
                break;
            case res::ControlKind::RadioButton:
                widget = new QRadioButton(text, this);
                break;
            case res::ControlKind::CentredText: {
                auto* label = new QLabel(text, this);
                label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
                label->setWordWrap(true);
                label->setTextFormat(Qt::PlainText);
                widget = label;
                break;
            }
            case res::ControlKind::LeftText: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                widget = label;
                break;
            }
            case res::ControlKind::Icon: {
                auto* label = new QLabel(this);
                label->setPixmap(windowIcon().pixmap(32, 32));
                widget = label;
                break;
            }
        }
        if (widget == nullptr) {
            continue;
        }
        widget->setGeometry(MapDialogRect(control.rect, m_baseUnits));
        widget->setFocusPolicy(control.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        if (control.tabStop && firstTabStop == nullptr) {
            firstTabStop = widget;
        }
        if (control.id > 0) {
            m_controls[control.id] = widget;
        }
    }
    // The first tab stop in template order takes the focus, as the templates intend.
    if (firstTabStop != nullptr) {
        firstTabStop->setFocus(Qt::OtherFocusReason);
    }
}

int CTemplateDialog::DoModal() {
    PrepareDialog();
    return exec();
}

QWidget* CTemplateDialog::GetControl(int controlId) const {
    const auto found = m_controls.find(controlId);
    return found == m_controls.end() ? nullptr : found->second;
}

QString CTemplateDialog::GetControlText(int controlId) const {
    QWidget* control = GetControl(controlId);
    if (auto* label = qobject_cast<QLabel*>(control)) {
        return label->text();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        return button->text();
    }
    if (auto* group = qobject_cast<QGroupBox*>(control)) {
        return group->title();
    }
    return QString();
}

void CTemplateDialog::SetControlText(int controlId, const QString& text) {
    QWidget* control = GetControl(controlId);
    if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(text);
        return;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(text);
        return;
    }
    if (auto* group = qobject_cast<QGroupBox*>(control)) {
        group->setTitle(text);
    }
}

void CTemplateDialog::reject() {
    done(res::IDC_CANCEL);
}

void CTemplateDialog::InitDialog() {
    if (m_host == nullptr) {
        return;
    }
    CPlacedWidget placed(*this);
    m_host->PlaceDialog(placed);
}

void CTemplateDialog::OnCommand(int controlId) {
    if (controlId == res::IDC_OK || controlId == res::IDC_CANCEL) {
        done(controlId);
    }
}

WindowRect CPlacedWidget::GetOuterRect() {
    (void)m_widget.winId();
    QRect frame = m_widget.frameGeometry();
    m_unknownFrame = QMargins();
    if (frame == m_widget.geometry()) {
        // No frame in Qt's eyes (a window not shown yet): the window manager tells what it will add.
        m_unknownFrame = FrameExtents(m_widget, FRAME_EXTENTS_WAIT_MS);
        frame = frame.marginsAdded(m_unknownFrame);
    }
    return WindowRect{frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
}

void CPlacedWidget::MoveTo(int32_t x, int32_t y) {
    // Qt moves a window whose frame it does not know by its client area's corner.
    m_widget.move(x + m_unknownFrame.left(), y + m_unknownFrame.top());
    if (m_widget.isVisible()) {
        m_widget.repaint();
    }
}

}  // namespace ui
