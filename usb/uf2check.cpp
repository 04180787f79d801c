#include "usb/uf2check.h"

#include "usb/firmwarefile.h"

#include <QBitArray>
#include <QFile>
#include <QHash>
#include <QtEndian>

#include <algorithm>

namespace {

constexpr quint32 magicStart0 = 0x0A324655;
constexpr quint32 magicStart1 = 0x9E5D5157;
constexpr quint32 magicEnd = 0x0AB16F30;
constexpr quint32 maxPayload = 476;
constexpr quint32 pageSize = 256;
constexpr quint32 notMainFlash = 0x00000001;
constexpr quint32 familyIdPresent = 0x00002000;
constexpr quint32 familyRp2040 = 0xe48bff56;
constexpr quint32 familyAbsolute = 0xe48bff57;
constexpr quint32 familyLastRp2350 = 0xe48bff5b;

// The families a Raspberry Pi boot loader writes: RP2040, absolute, data,
// and RP2350 (Arm secure, RISC-V, Arm non-secure). It skips every other
// block without a word.
bool isBootLoaderFamily(quint32 family)
{
    return family >= familyRp2040 && family <= familyLastRp2350;
}

quint32 wordAt(const char *block, int offset)
{
    return qFromLittleEndian<quint32>(block + offset);
}

// The block the RP2350 SDK puts first for the chip's E10 erratum; boot
// loaders skip it, and it has no block 1.
bool isE10Block(quint32 family, quint32 address, quint32 blockNo, quint32 blockCount)
{
    return family == familyAbsolute && address == 0x10FFFF00 && blockNo == 0 && blockCount == 2;
}

struct FamilyBlocks {
    quint32 count = 0;
    QBitArray seen;
};

} // namespace

std::optional<QList<quint32>> writtenFamilies(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() % uf2BlockSize != 0)
        return std::nullopt;
    const quint32 blocksInFile = quint32(bytes.size() / uf2BlockSize);
    QHash<quint32, FamilyBlocks> families;
    for (qsizetype at = 0; at < bytes.size(); at += uf2BlockSize) {
        const char *block = bytes.constData() + at;
        const quint32 flags = wordAt(block, 8), address = wordAt(block, 12), payload = wordAt(block, 16);
        const quint32 blockNo = wordAt(block, 20), blockCount = wordAt(block, 24);
        if (wordAt(block, 0) != magicStart0 || wordAt(block, 4) != magicStart1 || payload > maxPayload
            || wordAt(block, 508) != magicEnd)
            return std::nullopt;
        const quint32 family = flags & familyIdPresent ? wordAt(block, 28) : 0;
        if ((flags & notMainFlash) || (family != 0 && !isBootLoaderFamily(family))
            || isE10Block(family, address, blockNo, blockCount))
            continue;
        if (payload != pageSize || address % pageSize != 0)
            return std::nullopt;
        FamilyBlocks &blocks = families[family];
        // A count beyond the file's own blocks can never be whole; checked
        // before anything is sized by it.
        if (blockCount == 0 || blockCount > blocksInFile || blockNo >= blockCount)
            return std::nullopt;
        if (blocks.seen.isEmpty())
            blocks.seen.resize(qsizetype(blockCount));
        if (blocks.seen.size() != qsizetype(blockCount) || blocks.seen.testBit(qsizetype(blockNo)))
            return std::nullopt;
        blocks.seen.setBit(qsizetype(blockNo));
        ++blocks.count;
    }
    if (families.isEmpty())
        return std::nullopt;
    QList<quint32> found;
    for (auto family = families.cbegin(); family != families.cend(); ++family) {
        if (family->count != quint32(family->seen.size()))
            return std::nullopt;
        found.append(family.key());
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool isUf2Image(const QByteArray &bytes)
{
    return writtenFamilies(bytes).has_value();
}

std::optional<Uf2Chip> chipFromInfo(const QByteArray &infoText)
{
    for (const QByteArray &line : infoText.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.startsWith("Board-ID:"))
            continue;
        const QByteArray board = trimmed.mid(int(sizeof "Board-ID:") - 1).trimmed();
        if (board == "RPI-RP2")
            return Uf2Chip::rp2040;
        if (board == "RP2350")
            return Uf2Chip::rp2350;
        return std::nullopt;
    }
    return std::nullopt;
}

bool chipTakes(Uf2Chip chip, const QList<quint32> &families)
{
    return std::any_of(families.begin(), families.end(), [chip](quint32 family) {
        if (family == 0)
            return true;
        return chip == Uf2Chip::rp2040 ? family == familyRp2040 : family >= familyAbsolute;
    });
}

bool driveTakesImage(const QString &drivePath, const QByteArray &image)
{
    QFile info(drivePath + QStringLiteral("/INFO_UF2.TXT"));
    // A few short lines.
    if (!info.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || info.isSequential())
        return true;
    const std::optional<Uf2Chip> chip = chipFromInfo(info.read(4096));
    return !chip || chipTakes(*chip, writtenFamilies(image).value_or(QList<quint32>()));
}

Uf2FileCheck checkUf2File(const QString &path, QByteArray *image)
{
    FirmwareFile file = readFirmwareFile(path);
    if (file.status == FirmwareRead::notRegularFile || file.status == FirmwareRead::tooLarge)
        return Uf2FileCheck::notUf2;
    if (file.status != FirmwareRead::ok)
        return Uf2FileCheck::notChecked;
    if (!isUf2Image(file.bytes))
        return Uf2FileCheck::notUf2;
    if (image)
        *image = std::move(file.bytes);
    return Uf2FileCheck::valid;
}
