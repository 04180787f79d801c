#pragma once

#include <QString>

// Puts the firmware file onto the boot drive under `destination`, replacing
// an old file of that name. The source is read in full before the drive is
// touched, and the write is flushed to the device before this returns, so
// "complete" means the drive has the bytes. Throws UpdaterError::copyFailed.
void copyFirmware(const QString &source, const QString &destination);
