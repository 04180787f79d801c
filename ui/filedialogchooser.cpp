#include "ui/filedialogchooser.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

void FileDialogChooser::configure(QFileDialog &dialog, const QString &title, const QString &nameFilter)
{
    dialog.setWindowTitle(title);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(nameFilter);
}

std::optional<QString> FileDialogChooser::chooseFile(const QString &title, const QString &nameFilter)
{
    QFileDialog dialog(QApplication::activeWindow());
    configure(dialog, title, nameFilter);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.size() != 1 || chosen.first().isEmpty())
        return std::nullopt;
    return QFileInfo(chosen.first()).absoluteFilePath();
}
