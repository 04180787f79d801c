#include "usb/uf2check.h"

#include "usb/firmwarefile.h"

#include <QtEndian>

namespace {

constexpr quint32 magicStart0 = 0x0A324655;
constexpr quint32 magicStart1 = 0x9E5D5157;
constexpr quint32 magicEnd = 0x0AB16F30;
constexpr quint32 maxPayload = 476;
constexpr quint32 familyIdPresent = 0x00002000;

// The families a Raspberry Pi boot loader writes: RP2040, absolute, data,
// and RP2350 (Arm secure, RISC-V, Arm non-secure). It skips every other
// block without a word, so an image made only of those writes nothing.
bool isBootLoaderFamily(quint32 family)
{
    return family >= 0xe48bff56 && family <= 0xe48bff5b;
}

quint32 wordAt(const char *block, int offset)
{
    return qFromLittleEndian<quint32>(block + offset);
}

} // namespace

bool isUf2Image(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() % uf2BlockSize != 0)
        return false;
    bool anyBlockWritten = false;
    for (qsizetype at = 0; at < bytes.size(); at += uf2BlockSize) {
        const char *block = bytes.constData() + at;
        if (wordAt(block, 0) != magicStart0 || wordAt(block, 4) != magicStart1
            || wordAt(block, 16) > maxPayload || wordAt(block, 508) != magicEnd)
            return false;
        if (!(wordAt(block, 8) & familyIdPresent) || isBootLoaderFamily(wordAt(block, 28)))
            anyBlockWritten = true;
    }
    return anyBlockWritten;
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
