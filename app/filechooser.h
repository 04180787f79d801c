#pragma once

#include "app/firmwaretarget.h"

#include <QString>

#include <optional>

// Asks the user for exactly one existing file with the given extension.
// The window supplies the real dialog; the updater only knows this interface.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    // The chosen file's absolute path; nothing when the user cancelled.
    virtual std::optional<QString> chooseFile(const QString &title, const QString &nameFilter) = 0;
};

// "Choose USB Firmware" / "Choose Core Firmware".
QString firmwareDialogTitle(FirmwareTarget target);
// A dialog filter for files ending in ".<extension>" in any letter case;
// nothing when the extension can't be expressed as a filter.
std::optional<QString> firmwareNameFilter(const QString &extension);
