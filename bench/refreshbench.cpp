#include "refreshbench.h"

#include "benchtable.h"
#include "samples.h"

#include "support/updaterharness.h"

#include <QElapsedTimer>

namespace {

const QString name = QStringLiteral("refreshDevices(): 50 MIDI + 50 serial ports");
const QString target = QStringLiteral("median <= 5 ms");
constexpr int portCount = 50;

} // namespace

void RefreshBench::run(BenchTable &table) const
{
    QStringList midiNames;
    QStringList serialPaths;
    for (int i = 0; i < portCount; ++i) {
        midiNames << QStringLiteral("velta-bench-ports:in_%1").arg(i);
        serialPaths << (i % 2 ? QStringLiteral("/dev/ttyUSB%1") : QStringLiteral("/dev/ttyACM%1")).arg(i / 2);
    }

    UpdaterHarness harness(midiNames, serialPaths);
    // The first call also builds the collator; it is left out.
    harness->refreshDevices();
    UpdaterHarness::settle();
    if (harness->midiPortNames().size() != portCount || harness->serialPorts().size() != portCount) {
        table.fail(name,
                   QStringLiteral("saw %1 MIDI and %2 serial ports")
                       .arg(harness->midiPortNames().size())
                       .arg(harness->serialPorts().size()),
                   target);
        return;
    }

    Samples calls;
    for (int i = 0; i < calls_; ++i) {
        QElapsedTimer t;
        t.start();
        harness->refreshDevices();
        calls.add(double(t.nsecsElapsed()) / 1e6);
        // Runs the posted status update outside the timed call.
        UpdaterHarness::settle();
    }
    table.detail(QStringLiteral("refreshDevices ms"), calls);
    table.add(name,
              QStringLiteral("median %1 ms, worst %2 ms of %3 calls")
                  .arg(calls.median(), 0, 'f', 2)
                  .arg(calls.worst(), 0, 'f', 2)
                  .arg(calls_),
              target, calls.median() <= 5.0);
}
