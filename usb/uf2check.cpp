#include "usb/uf2check.h"

#include "usb/firmwarefile.h"

#include <QtEndian>

namespace {

constexpr quint32 magicStart0 = 0x0A324655;
constexpr quint32 magicStart1 = 0x9E5D5157;
constexpr quint32 magicEnd = 0x0AB16F30;
constexpr quint32 maxPayload = 476;

quint32 wordAt(const char *block, int offset)
{
    return qFromLittleEndian<quint32>(block + offset);
}

} // namespace

bool isUf2Image(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() % uf2BlockSize != 0)
        return false;
    for (qsizetype at = 0; at < bytes.size(); at += uf2BlockSize) {
        const char *block = bytes.constData() + at;
        if (wordAt(block, 0) != magicStart0 || wordAt(block, 4) != magicStart1
            || wordAt(block, 16) > maxPayload || wordAt(block, 508) != magicEnd)
            return false;
    }
    return true;
}

Uf2FileCheck checkUf2File(const QString &path, QByteArray *image)
{
    FirmwareFile file = readFirmwareFile(path);
    switch (file.status) {
    case FirmwareRead::missing:
    case FirmwareRead::directory:
    case FirmwareRead::unreadable:
        return Uf2FileCheck::notChecked;
    case FirmwareRead::notRegularFile:
    case FirmwareRead::tooLarge:
        return Uf2FileCheck::notUf2;
    case FirmwareRead::ok:
        break;
    }
    if (!isUf2Image(file.bytes))
        return Uf2FileCheck::notUf2;
    if (image)
        *image = std::move(file.bytes);
    return Uf2FileCheck::valid;
}
