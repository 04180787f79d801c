#pragma once

#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>

#include <unistd.h>

// What this test process holds, read from /proc.
namespace processprobe {

// pid and command name of each child (zombies included).
inline QList<QPair<int, QString>> children()
{
    QList<QPair<int, QString>> result;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const qsizetype open = text.indexOf('('), close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == getpid())
            result.append({pid.toInt(), QString::fromUtf8(text.mid(open + 1, close - open - 1))});
    }
    return result;
}

inline int childrenNamed(const QString &name)
{
    int count = 0;
    for (const auto &child : children())
        count += child.second == name;
    return count;
}

inline int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

inline qint64 residentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace processprobe
