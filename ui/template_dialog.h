// A modal dialog built from a dialog template: caption, client size and controls converted from dialog
// units with the template font's metrics, the default button pressed by Enter, and the results of the
// platform's dialogs: the button with identifier 1 ends with 1, identifier 2 and Esc with 2. There is
// no close box.
#pragma once

#include <QDialog>
#include <QSize>
#include <map>

#include "res/dialog_templates.h"

class QAbstractButton;

namespace ui {

class IDialogHost;

class CTemplateDialog : public QDialog {
  public:
    // host may be null (nothing places the dialog then). A missing template gives an empty dialog.
    CTemplateDialog(int templateId, IDialogHost* host, QWidget* parent);

    // Runs the dialog modally: PrepareDialog, then the dialog's own loop. Returns 1 or 2.
    int DoModal();
    // Initialises the dialog for a showing (texts, checks, placement) without running its loop.
    void PrepareDialog() { InitDialog(); }

    // The control with the template identifier, or nullptr.
    QWidget* GetControl(int controlId) const;
    // The text of a control (label, button, group box); empty when there is none.
    QString GetControlText(int controlId) const;
    void SetControlText(int controlId, const QString& text);

    int TemplateId() const { return m_templateId; }
    QSize BaseUnits() const { return m_baseUnits; }

    // Esc and the window manager's close end the dialog with 2, as the Quit buttons do.
    void reject() override;

  protected:
    // Runs once before the dialog is shown: fills in texts and asks the host to place the dialog.
    virtual void InitDialog();
    // A push button was pressed; the default ends the dialog with identifiers 1 and 2.
    virtual void OnCommand(int controlId);

    IDialogHost* Host() const { return m_host; }

  private:
    void CreateControls(const res::DialogTemplate& dialog);

    int m_templateId;
    IDialogHost* m_host;
    QSize m_baseUnits;
    std::map<int, QWidget*> m_controls;
};

// Applies the dialog colours of the application: light grey background, black text.
void ApplyDialogColours(QWidget& widget);

}  // namespace ui
