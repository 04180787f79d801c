#pragma once

#include <QByteArray>
#include <QString>

// Puts the firmware file onto the boot drive under `destination`, replacing
// an old file of that name. The source is read in full before the drive is
// touched, and the write is flushed to the device before this returns, so
// "complete" means the drive has the bytes. Throws UpdaterError::copyFailed.
void copyFirmware(const QString &source, const QString &destination);

// The two halves of copyFirmware: the whole source (never blocking, see
// readFirmwareFile), and the write of bytes already read.
QByteArray readFirmwareSource(const QString &source);
void writeFirmware(const QByteArray &contents, const QString &destination);

// `name` with each character a FAT drive can't store (" * / : < > ? \ | and
// control characters) replaced by '_'.
QString driveFileName(const QString &name);
