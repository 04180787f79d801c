#pragma once

#include <QByteArray>
#include <QString>

// The copy of the firmware onto the boot drive, in two halves, both throwing
// UpdaterError::copyFailed. The whole source (never blocking, see
// readFirmwareFile) is read before the drive is touched.
QByteArray readFirmwareSource(const QString &source);
// Writes `contents` under `destination`, replacing an old file of that name,
// and flushes it to the device before it returns, so "complete" means the
// drive has the bytes.
void writeFirmware(const QByteArray &contents, const QString &destination);

// `name` with each character a FAT drive can't store (" * / : < > ? \ | and
// control characters) replaced by '_'.
QString driveFileName(const QString &name);
