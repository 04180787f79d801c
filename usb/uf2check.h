#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// A boot drive silently ignores anything that is not UF2 blocks, and an RP2
// boot loader writes each block into flash as it comes but restarts only
// once it holds a whole image: a wrong or cut file would overwrite part of
// the old firmware and leave the device in its boot loader. These checks
// refuse such a file first.

inline constexpr int uf2BlockSize = 512;

// The chips whose boot loaders this program knows, as INFO_UF2.TXT names them.
enum class Uf2Chip { rp2040, rp2350 };

// The families of an image's written blocks (0 for blocks without a family),
// when the image is whole: non-empty, whole 512-byte blocks with both start
// magics, the end magic and at most 476 bytes of payload each; the blocks a
// Raspberry Pi boot loader writes (no family, or one of its families, and
// not flagged as outside the main flash) carry 256 bytes at 256-aligned
// addresses, and for each family every block number 0..numBlocks-1 appears
// exactly once under one numBlocks. Nothing when it isn't, or when no block
// would be written at all.
std::optional<QList<quint32>> writtenFamilies(const QByteArray &bytes);
bool isUf2Image(const QByteArray &bytes);

// The chip a drive's INFO_UF2.TXT names on its Board-ID line; nothing for
// one not known here.
std::optional<Uf2Chip> chipFromInfo(const QByteArray &infoText);
// Whether a chip's boot loader writes any block of an image of these families.
bool chipTakes(Uf2Chip chip, const QList<quint32> &families);

// Whether the boot loader behind a drive writes any block of `image`, as the
// drive's INFO_UF2.TXT names its chip. No such file, or a chip not known
// here: no rule, true.
bool driveTakesImage(const QString &drivePath, const QByteArray &image);

enum class Uf2FileCheck { valid, notUf2, notChecked };

// valid, with the bytes it read in `image`: those are what the copy writes.
// notUf2 for anything that can't be an image: not a regular file (a FIFO, a
// socket, a device, a link to one), larger than maxFirmwareFileSize, or the
// wrong content. notChecked for a missing path, a folder or a file that
// can't be read: the copy reports those with its own messages.
Uf2FileCheck checkUf2File(const QString &path, QByteArray *image = nullptr);
