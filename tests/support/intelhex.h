#pragma once

#include <QByteArray>
#include <QtGlobal>

// Intel HEX, as avrdude reads and writes it with the ":i" format, for test
// fixtures.

// 16-byte data records, an extended linear address record wherever the
// upper 16 address bits change (never for images below 64 KiB at base 0),
// then the EOF record. Lines end in "\n".
QByteArray toIntelHex(const QByteArray &bytes, quint32 baseAddress = 0);

// The memory image described by `hexText`: `imageSize` bytes, `fill` where
// no record wrote. Returns an empty array if the text is malformed (bad
// character, length or checksum, no EOF record) or writes outside the
// image, so a broken fixture fails loudly rather than comparing equal.
QByteArray parseIntelHexImage(const QByteArray &hexText, int imageSize, char fill = char(0xFF));
