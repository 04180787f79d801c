#include "intelhex.h"

#include <QList>

#include <algorithm>
#include <cctype>

namespace {

void appendRecord(QByteArray &out, quint8 type, quint16 address, const char *data, int length)
{
    QByteArray record;
    record.append(char(length));
    record.append(char(address >> 8));
    record.append(char(address & 0xFF));
    record.append(char(type));
    record.append(data, length);
    quint8 sum = 0;
    for (char c : std::as_const(record))
        sum = quint8(sum + quint8(c));
    record.append(char(quint8(-sum)));
    out += ':' + record.toHex().toUpper() + '\n';
}

} // namespace

QByteArray toIntelHex(const QByteArray &bytes, quint32 baseAddress)
{
    QByteArray out;
    quint32 upper = 0; // what a reader assumes before any type 04 record
    qsizetype offset = 0;
    while (offset < bytes.size()) {
        const quint32 address = baseAddress + quint32(offset);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const char high[2] = {char(upper >> 8), char(upper & 0xFF)};
            appendRecord(out, 0x04, 0, high, 2);
        }
        // A record must not run across a 64 KiB boundary.
        const qsizetype toBoundary = 0x10000 - (address & 0xFFFF);
        const int length = int(std::min<qsizetype>({16, bytes.size() - offset, toBoundary}));
        appendRecord(out, 0x00, quint16(address & 0xFFFF), bytes.constData() + offset, length);
        offset += length;
    }
    appendRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

QByteArray parseIntelHexImage(const QByteArray &hexText, int imageSize, char fill)
{
    QByteArray image(imageSize, fill);
    quint32 base = 0;
    const QList<QByteArray> lines = hexText.split('\n');
    for (const QByteArray &rawLine : lines) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty())
            continue;
        if (!line.startsWith(':') || line.size() < 11 || line.size() % 2 == 0)
            return {};
        for (qsizetype i = 1; i < line.size(); ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(line[i])))
                return {};
        }
        const QByteArray record = QByteArray::fromHex(line.mid(1));
        const int length = quint8(record[0]);
        if (record.size() != length + 5)
            return {};
        quint8 sum = 0;
        for (char c : record)
            sum = quint8(sum + quint8(c));
        if (sum != 0)
            return {};
        const quint32 address = quint32(quint8(record[1])) << 8 | quint8(record[2]);
        const quint8 type = quint8(record[3]);
        const char *data = record.constData() + 4;
        switch (type) {
        case 0x00: {
            const quint64 start = quint64(base) + address;
            if (start + quint64(length) > quint64(imageSize))
                return {};
            for (int i = 0; i < length; ++i)
                image[qsizetype(start) + i] = data[i];
            break;
        }
        case 0x01:
            return image;
        case 0x02: // extended segment address: paragraph number
            if (length != 2)
                return {};
            base = (quint32(quint8(data[0])) << 8 | quint8(data[1])) << 4;
            break;
        case 0x04: // extended linear address: upper 16 bits
            if (length != 2)
                return {};
            base = (quint32(quint8(data[0])) << 8 | quint8(data[1])) << 16;
            break;
        case 0x03: // start addresses mean nothing to a memory image
        case 0x05:
            break;
        default:
            return {};
        }
    }
    return {}; // no EOF record: truncated file
}
