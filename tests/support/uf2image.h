#pragma once

#include <QByteArray>
#include <QtEndian>

// UF2 images built block by block, for tests.
namespace uf2image {

inline constexpr quint32 familyRp2040 = 0xe48bff56;
inline constexpr quint32 familySamd21 = 0x68ed2b88;

// `flags` 0: no family flag, so the family word means nothing.
inline QByteArray block(quint32 blockNo, quint32 blockCount, quint32 family, quint32 payload = 256,
                        quint32 flags = 0x2000)
{
    QByteArray b(512, '\0');
    auto put = [&b](int offset, quint32 value) { qToLittleEndian<quint32>(value, b.data() + offset); };
    const quint32 words[] = {0x0A324655, 0x9E5D5157, flags, 0x10000000 + blockNo * 256,
                             payload, blockNo, blockCount, family};
    for (int i = 0; i < 8; ++i)
        put(4 * i, words[i]);
    for (int i = 32; i < 32 + int(qMin<quint32>(payload, 476)); ++i)
        b[i] = char(blockNo + i);
    put(508, 0x0AB16F30);
    return b;
}

inline QByteArray image(int blocks, quint32 family = familyRp2040)
{
    QByteArray bytes;
    for (int i = 0; i < blocks; ++i)
        bytes += block(quint32(i), quint32(blocks), family);
    return bytes;
}

} // namespace uf2image
