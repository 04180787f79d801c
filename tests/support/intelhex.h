#pragma once

#include <QByteArray>

// `bytes` at address 0 as Intel HEX (avrdude's ":i"): 16-byte data records,
// then the end record. No extended addresses: at most 64 KiB.
inline QByteArray toIntelHex(const QByteArray &bytes)
{
    QByteArray out;
    for (qsizetype at = 0; at < bytes.size(); at += 16) {
        const QByteArray data = bytes.mid(at, 16);
        const QByteArray record = QByteArray(1, char(data.size())) + char(at >> 8) + char(at) + '\0' + data;
        quint8 sum = 0;
        for (char c : record)
            sum = quint8(sum - quint8(c));
        out += ':' + (record + char(sum)).toHex().toUpper() + '\n';
    }
    return out + ":00000001FF\n";
}
