#include "startupbench.h"

#include "benchtable.h"
#include "childprocess.h"
#include "samples.h"

#include <QCoreApplication>
#include <QHash>

#include <unistd.h>

namespace {

const QString frameName = QStringLiteral("Start-up: process start to first frame");
const QString frameTarget = QStringLiteral("median <= 150 ms");
const QString memoryName = QStringLiteral("Start-up: resident memory at first frame");
const QString memoryTarget = QStringLiteral("median <= 60 MB");

QHash<QByteArray, QByteArray> parse(const QByteArray &output)
{
    QHash<QByteArray, QByteArray> values;
    for (const QByteArray &line : output.split('\n')) {
        const qsizetype blank = line.indexOf(' ');
        if (blank > 0)
            values.insert(line.left(blank), line.mid(blank + 1).trimmed());
    }
    return values;
}

} // namespace

void StartupBench::run(BenchTable &table) const
{
    const std::string probe =
        (QCoreApplication::applicationDirPath() + QStringLiteral("/velta-startprobe")).toStdString();
    const ChildProcess child(probe, {}, {"QT_QPA_PLATFORM=offscreen"});

    Samples fromSpawn, fromProcStat, residentMb;
    QString problem;
    // The first run is unrecorded: it loads the libraries into the page cache.
    for (int i = -1; i < runs_ && problem.isEmpty(); ++i) {
        const ChildProcess::Result r = child.run(std::chrono::seconds(30));
        const QHash<QByteArray, QByteArray> values = parse(r.standardOutput);
        if (r.exitCode != 0 || !values.contains("FRAME_MONO_NS")) {
            problem = QStringLiteral("probe exited with %1: %2")
                          .arg(r.exitCode)
                          .arg(QString::fromUtf8(r.standardError.trimmed().right(200)));
            break;
        }
        if (i < 0)
            continue;
        fromSpawn.add(double(values.value("FRAME_MONO_NS").toLongLong() - r.spawnedAtNs) / 1e6);
        fromProcStat.add(values.value("SINCE_START_MS").toDouble());
        residentMb.add(values.value("RSS_KB").toDouble() * 1024.0 / 1e6);
    }
    table.detail(QStringLiteral("first frame ms"), fromSpawn);
    table.detail(QStringLiteral("first frame by /proc ms"), fromProcStat);
    table.detail(QStringLiteral("VmRSS MB"), residentMb);
    if (!problem.isEmpty()) {
        table.fail(frameName, problem, frameTarget);
        table.fail(memoryName, problem, memoryTarget);
        return;
    }
    table.add(frameName,
              QStringLiteral("median %1 ms, worst %2 ms of %3 (by /proc starttime: median %4 ms)")
                  .arg(fromSpawn.median(), 0, 'f', 1)
                  .arg(fromSpawn.worst(), 0, 'f', 1)
                  .arg(runs_)
                  .arg(fromProcStat.median(), 0, 'f', 0),
              frameTarget, fromSpawn.median() <= 150.0);
    table.add(memoryName,
              QStringLiteral("VmRSS median %1 MB (%2 MiB), worst %3 MB")
                  .arg(residentMb.median(), 0, 'f', 1)
                  .arg(residentMb.median() * 1e6 / 1048576.0, 0, 'f', 1)
                  .arg(residentMb.worst(), 0, 'f', 1),
              memoryTarget, residentMb.median() <= 60.0);
    table.note(QStringLiteral("start-up is timed from the benchmark's posix_spawn of the probe (CLOCK_MONOTONIC); "
                              "/proc starttime has 1/%1 s steps")
                   .arg(sysconf(_SC_CLK_TCK)));
}
