#pragma once

#include "app/firmwaretarget.h"
#include "ui/filechooser.h"

#include <optional>

class QFileDialog;

// "Choose USB Firmware" / "Choose Core Firmware".
QString firmwareDialogTitle(FirmwareTarget target);
// A dialog filter for files ending in ".<extension>" in any letter case;
// nothing when the extension can't be expressed as a filter.
std::optional<QString> firmwareNameFilter(const QString &extension);

// Qt's own file dialog (the same on every desktop): one existing file,
// folders can be opened but not chosen.
class FileDialogChooser : public FileChooser {
public:
    std::optional<QString> chooseFile(const QString &title, const QString &nameFilter) override;

    static void configure(QFileDialog &dialog, const QString &title, const QString &nameFilter);
};
