// The file-open dialog for the firmware image: Qt's own (non-native) file dialog, existing files only,
// the filter of the string table turned into Qt's "Name (patterns)" form, the initial name as given, and
// placed on the main view like every other dialog.
#pragma once

#include <QFileDialog>
#include <QString>
#include <string>

namespace ui {

class IDialogHost;

// Turns a filter of '|'-separated description and pattern pairs ("Firmware Files (*.fw )   |*.fw||") into
// Qt name filters: a trimmed description that already ends in its pattern list in parentheses stays as
// written ("Firmware Files (*.fw )"); otherwise any trailing parenthesised part is dropped and the
// pattern list follows in parentheses (';' separated patterns become blanks). Pairs with an empty
// pattern end the list.
QStringList ConvertFileFilter(const std::string& filter);

class CFirmwareFileDlg final : public QFileDialog {
  public:
    CFirmwareFileDlg(const std::string& filter, const std::string& initialName, IDialogHost* host,
                     QWidget* parent);

    // Places the dialog, then runs it. QDialog::Accepted when a file was chosen.
    int DoModal();
    // The full path of the chosen file in the file system's byte encoding.
    std::string GetPathName() const;

  private:
    IDialogHost* m_host;
};

}  // namespace ui
