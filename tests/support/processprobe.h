#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <unistd.h>

// What this test process holds, read from /proc, and the one way it ends a child.
namespace processprobe {

// pid and command name of each child (zombies included).
inline QList<QPair<int, QString>> children()
{
    QList<QPair<int, QString>> result;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        const qsizetype open = text.indexOf('('), close = text.lastIndexOf(')');
        // After the name come the state and the parent's pid.
        if (close > 0 && text.mid(close + 2).split(' ').value(1).toInt() == getpid())
            result.append({pid.toInt(), QString::fromUtf8(text.mid(open + 1, close - open - 1))});
    }
    return result;
}

inline int childrenNamed(const QString &name)
{
    const auto all = children();
    return int(std::count_if(all.begin(), all.end(), [&](const auto &child) { return child.second == name; }));
}

inline int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

// SIGTERM, then SIGKILL if the child lingers; reaped either way.
inline void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Waits up to `ms` for the child to end by itself, else stops it.
inline bool finishWithin(QProcess &process, int ms)
{
    if (process.waitForFinished(ms))
        return true;
    stop(process);
    return false;
}

} // namespace processprobe
