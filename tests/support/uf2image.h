#pragma once

#include <QByteArray>
#include <QtEndian>

// UF2 images built block by block, for tests.
namespace uf2image {

inline constexpr quint32 familyRp2040 = 0xe48bff56;
inline constexpr quint32 familyAbsolute = 0xe48bff57;
inline constexpr quint32 familyRp2350ArmSecure = 0xe48bff59;
inline constexpr quint32 familySamd21 = 0x68ed2b88;
inline constexpr quint32 familyNrf52840 = 0xada52840;
// A block with its family flag cleared: the family word then means nothing.
inline QByteArray withoutFamily(QByteArray block)
{
    qToLittleEndian<quint32>(0, block.data() + 8);
    return block;
}

inline QByteArray block(quint32 blockNo, quint32 blockCount, quint32 family, quint32 payload = 256,
                        char fill = 0x5a)
{
    QByteArray b(512, '\0');
    auto put = [&b](int offset, quint32 value) { qToLittleEndian<quint32>(value, b.data() + offset); };
    put(0, 0x0A324655);
    put(4, 0x9E5D5157);
    put(8, 0x00002000); // family ID present
    put(12, 0x10000000 + blockNo * 256);
    put(16, payload);
    put(20, blockNo);
    put(24, blockCount);
    put(28, family);
    for (int i = 32; i < 32 + int(qMin<quint32>(payload, 476)); ++i)
        b[i] = char(fill + i);
    put(508, 0x0AB16F30);
    return b;
}

inline QByteArray image(int blocks, quint32 family = familyRp2040)
{
    QByteArray bytes;
    for (int i = 0; i < blocks; ++i)
        bytes += block(quint32(i), quint32(blocks), family, 256, char(i));
    return bytes;
}

} // namespace uf2image
