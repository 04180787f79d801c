#pragma once

#include "app/filechooser.h"

#include <optional>

class QFileDialog;

// Qt's own file dialog (the same on every desktop): one existing file,
// folders can be opened but not chosen.
class FileDialogChooser : public FileChooser {
public:
    std::optional<QString> chooseFile(const QString &title, const QString &nameFilter) override;

    static void configure(QFileDialog &dialog, const QString &title, const QString &nameFilter);
};
