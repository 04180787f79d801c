#include "firstframewatch.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// What this process holds in memory, from /proc.
qint64 residentKiB()
{
    QFile status("/proc/self/status");
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("VmRSS:");
    return at < 0 ? -1 : text.mid(at + 6).trimmed().split(' ').first().toLongLong();
}

std::int64_t clockNs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Field 22 of /proc/self/stat, in clock ticks since boot; -1 if unreadable.
long long startTicks()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The command name may hold blanks; the fields after it do not.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // After the name come field 3 (state) onwards, so field 22 is index 19.
    return fields.size() > 19 ? fields.at(19).toLongLong() : -1;
}

} // namespace

FirstFrameWatch::FirstFrameWatch(QObject *window) : QObject(nullptr), window_(window)
{
    window_->installEventFilter(this);
}

bool FirstFrameWatch::eventFilter(QObject *watched, QEvent *event)
{
    if (!seen_ && watched == window_ && event->type() == QEvent::Paint) {
        seen_ = true;
        // The children paint and the backing store is flushed after this
        // event returns; the queued call runs once that frame is complete.
        QTimer::singleShot(0, this, &FirstFrameWatch::report);
    }
    return false;
}

void FirstFrameWatch::report()
{
    const std::int64_t mono = clockNs(CLOCK_MONOTONIC);
    const std::int64_t boot = clockNs(CLOCK_BOOTTIME);
    const long long ticks = startTicks();
    const double sinceStartMs =
        ticks < 0 ? -1.0 : double(boot) / 1e6 - double(ticks) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    std::printf("FRAME_MONO_NS %lld\nSINCE_START_MS %.3f\nRSS_KB %lld\n", static_cast<long long>(mono),
                sinceStartMs, residentKiB());
    std::fflush(stdout);
    QCoreApplication::exit(0);
}
