#pragma once

#include <QByteArray>
#include <QString>

// The largest file taken for firmware: twice the biggest flash UF2 boot
// loaders address. A larger file is no image for the device.
inline constexpr qint64 maxFirmwareFileSize = 32 * 1024 * 1024;

enum class FirmwareRead { ok, missing, directory, notRegularFile, tooLarge, unreadable };

struct FirmwareFile {
    FirmwareRead status = FirmwareRead::missing;
    QByteArray bytes; // the whole file when status is ok
};

// Reads the file at `path` (links followed) once, and never blocks: what is
// there is decided from stat first, so a FIFO, a socket or a device is never
// opened, and a file over the size limit is never read.
FirmwareFile readFirmwareFile(const QString &path);
