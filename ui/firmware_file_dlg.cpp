// The firmware file-open dialog.
#include "ui/firmware_file_dlg.h"

#include <QFile>
#include <QStringList>

#include "ui/dialog_host.h"

namespace ui {

QStringList ConvertFileFilter(const std::string& filter) {
    const QStringList parts =
        QString::fromLatin1(filter.data(), static_cast<qsizetype>(filter.size())).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i].trimmed();
        const QString patterns = parts[i + 1].trimmed();
        if (patterns.isEmpty()) {
            break;
        }
        QString list = patterns;
        list.replace(QLatin1Char(';'), QLatin1Char(' '));
        list = list.simplified();
        // Qt reads the patterns from the last parenthesised part of the name. A description that ends
        // in the filter's own patterns is shown as written ("Firmware Files (*.fw )"); one that shows
        // other patterns loses them, so the list shows what the filter matches.
        if (name.endsWith(QLatin1Char(')'))) {
            const qsizetype open = name.lastIndexOf(QLatin1Char('('));
            if (open >= 0) {
                if (name.mid(open + 1, name.size() - open - 2).simplified() == list) {
                    filters.append(name);
                    continue;
                }
                name = name.left(open).trimmed();
            }
        }
        filters.append(name.isEmpty() ? QStringLiteral("(%1)").arg(list)
                                      : QStringLiteral("%1 (%2)").arg(name, list));
    }
    return filters;
}

CFirmwareFileDlg::CFirmwareFileDlg(const std::string& filter, const std::string& initialName,
                                   IDialogHost* host, QWidget* parent)
    : QFileDialog(parent), m_host(host) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setFileMode(QFileDialog::ExistingFile);
    setAcceptMode(QFileDialog::AcceptOpen);
    const QStringList filters = ConvertFileFilter(filter);
    if (!filters.isEmpty()) {
        setNameFilters(filters);
    }
    if (!initialName.empty()) {
        selectFile(QString::fromLocal8Bit(initialName.data(), static_cast<qsizetype>(initialName.size())));
    }
}

int CFirmwareFileDlg::DoModal() {
    if (m_host != nullptr) {
        resize(sizeHint().expandedTo(QSize(560, 360)));
        CPlacedWidget placed(*this);
        m_host->PlaceDialog(placed);
    }
    return exec();
}

std::string CFirmwareFileDlg::GetPathName() const {
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        return std::string();
    }
    return QFile::encodeName(files.first()).toStdString();
}

}  // namespace ui
