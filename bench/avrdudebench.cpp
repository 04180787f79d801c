#include "avrdudebench.h"

#include "benchtable.h"
#include "childprocess.h"
#include "samples.h"

#include "core/avrduderunner.h"
#include "support/intelhex.h"
#include "support/stk500simprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <exception>

namespace {

const QString name = QStringLiteral("Core: AvrdudeRunner vs direct spawn");
const QString target = QStringLiteral("ratio <= 1.02");
constexpr int imageSize = 32 * 1024;

std::vector<std::string> toStd(const QStringList &list)
{
    std::vector<std::string> out;
    for (const QString &s : list)
        out.push_back(s.toStdString());
    return out;
}

} // namespace

void AvrdudeBench::run(BenchTable &table) const
{
    // The simulator rewrites its flash file after every page: on disk that
    // is writeback per run whose cost swings with whatever else the machine
    // writes, noise larger than the difference measured here. In RAM it
    // costs both variants the same little.
    const QByteArray savedTmp = qgetenv("TMPDIR");
    const bool hadTmp = qEnvironmentVariableIsSet("TMPDIR");
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        qputenv("TMPDIR", "/dev/shm");
    QTemporaryDir dir;
    // One bootloader serves every run: it keeps the pty's slave open, so
    // avrdude closing the port does not end it.
    Stk500SimProcess sim;
    if (hadTmp)
        qputenv("TMPDIR", savedTmp);
    else
        qunsetenv("TMPDIR");

    QByteArray image(imageSize, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(image.data()), imageSize / 4);
    const QString hexPath = dir.filePath(QStringLiteral("core.hex"));
    QFile hex(hexPath);
    if (!hex.open(QIODevice::WriteOnly) || hex.write(toIntelHex(image)) < 0) {
        table.fail(name, QStringLiteral("could not write the HEX file"), target);
        return;
    }
    hex.close();

    if (!sim.isRunning()) {
        table.fail(name, QStringLiteral("stk500sim did not start"), target);
        return;
    }

    const AvrdudeRunner runner;
    const QString tool = runner.resourceDir() + QStringLiteral("/avrdude");
    const QString config = runner.resourceDir() + QStringLiteral("/avrdude.conf");
    const ChildProcess direct(tool.toStdString(), toStd(avrdudeArguments(config, sim.portPath(), hexPath)));

    QString problem;
    // With progress followed, as the updater runs it.
    int progressUpdates = 0;
    auto timeRunner = [&]() -> double {
        QElapsedTimer t;
        t.start();
        try {
            runner.run(hexPath, sim.portPath(), [&](const AvrdudeProgress &) { ++progressUpdates; });
        } catch (const std::exception &e) {
            problem = QStringLiteral("runner: ") + QString::fromUtf8(e.what());
        }
        return double(t.nsecsElapsed()) / 1e6;
    };
    auto timeDirect = [&]() -> double {
        QElapsedTimer t;
        t.start();
        const ChildProcess::Result r = direct.run(AvrdudeRunner::defaultTimeLimit);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        if (r.exitCode != 0)
            problem = QStringLiteral("direct avrdude exited with %1").arg(r.exitCode);
        return ms;
    };

    // One unrecorded run each warms the page cache for both.
    timeRunner();
    timeDirect();
    Samples viaRunner, viaDirect, pairRatios;
    for (int i = 0; i < runs_ && problem.isEmpty(); ++i) {
        // Alternating which goes first keeps slow drift from favouring one.
        double runnerMs = 0, directMs = 0;
        if (i % 2 == 0) {
            runnerMs = timeRunner();
            directMs = timeDirect();
        } else {
            directMs = timeDirect();
            runnerMs = timeRunner();
        }
        viaRunner.add(runnerMs);
        viaDirect.add(directMs);
        // Neighbouring runs share the machine's load at that moment.
        pairRatios.add(runnerMs / directMs);
    }
    if (problem.isEmpty() && sim.flash(imageSize) != image)
        problem = QStringLiteral("flash does not hold the image");
    table.detail(QStringLiteral("viaRunner ms"), viaRunner);
    table.detail(QStringLiteral("viaDirect ms"), viaDirect);
    if (!problem.isEmpty()) {
        table.fail(name, problem, target);
        return;
    }
    const double ratio = viaRunner.median() / viaDirect.median();
    table.add(name,
              QStringLiteral("runner %1 ms, direct %2 ms (medians of %3), ratio %4 (median of paired ratios %5)")
                  .arg(viaRunner.median(), 0, 'f', 1)
                  .arg(viaDirect.median(), 0, 'f', 1)
                  .arg(runs_)
                  .arg(ratio, 0, 'f', 3)
                  .arg(pairRatios.median(), 0, 'f', 3),
              target, ratio <= 1.02);
    table.note(QStringLiteral("the runner followed avrdude's progress: %1 updates over %2 runs").arg(progressUpdates).arg(runs_));
}
