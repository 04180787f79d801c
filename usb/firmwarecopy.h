#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

// The copy of the firmware onto the boot drive, in two halves, both throwing
// UpdaterError::copyFailed. The whole source (never blocking, see
// readFirmwareFile) is read before the drive is touched.
QByteArray readFirmwareSource(const QString &source);
// Writes `contents` under `destination`, replacing an old file of that name,
// in pieces that each reach the device before the next is written, so
// `progress` (given the bytes done so far) follows what the drive really
// has; a boot loader takes about 64 KiB/s. Everything is flushed before it
// returns, so "complete" means the drive has the bytes. Set `stop` to give
// up between two pieces. Blocks for the whole copy: call it off the main thread.
void writeFirmware(const QByteArray &contents, const QString &destination,
                   const std::function<void(qint64 done)> &progress = {}, const std::atomic<bool> *stop = nullptr);

inline constexpr qint64 firmwareCopyPiece = 32 * 1024;

// `name` with each character a FAT drive can't store (" * / : < > ? \ | and
// control characters) replaced by '_'.
QString driveFileName(const QString &name);
