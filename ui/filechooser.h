#pragma once

#include <QString>

#include <optional>

// Asks the user for exactly one existing file with the given extension.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    // The chosen file's absolute path; nothing when the user cancelled.
    virtual std::optional<QString> chooseFile(const QString &title, const QString &nameFilter) = 0;
};
