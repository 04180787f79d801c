#include "ui/filedialogchooser.h"

#include <QApplication>
#include <QFileDialog>
#include <QRegularExpression>

QString firmwareDialogTitle(FirmwareTarget target)
{
    return target == FirmwareTarget::coreFirmware ? QStringLiteral("Choose Core Firmware")
                                                  : QStringLiteral("Choose USB Firmware");
}

std::optional<QString> firmwareNameFilter(const QString &extension)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-]+$"));
    if (!plain.match(extension).hasMatch())
        return std::nullopt;
    // Qt's dialog matches name filters without regard to letter case.
    return QStringLiteral("Firmware (*.%1)").arg(extension.toLower());
}

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
