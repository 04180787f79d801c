#pragma once

#include <QByteArray>
#include <QString>

// A boot drive silently ignores anything that is not UF2 blocks, so a wrong
// file would look like a successful update. These checks refuse it first.

inline constexpr int uf2BlockSize = 512;

// Non-empty, whole 512-byte blocks, each with both start magics, the end
// magic and a payload of at most 476 bytes, and at least one block the boot
// loader will write: one without a family ID or with a Raspberry Pi one.
bool isUf2Image(const QByteArray &bytes);

enum class Uf2FileCheck { valid, notUf2, notChecked };

// valid, with the bytes it read in `image`: those are what the copy writes.
// notUf2 for anything that can't be an image: not a regular file (a FIFO, a
// socket, a device, a link to one), larger than maxFirmwareFileSize, or the
// wrong content. notChecked for a missing path, a folder or a file that
// can't be read: the copy reports those with its own messages.
Uf2FileCheck checkUf2File(const QString &path, QByteArray *image = nullptr);
