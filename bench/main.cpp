// velta-bench: measures the updater's hot paths against their plain
// equivalents and prints one table. Started by bench/run.sh.
//
// Arguments: -v prints every sample to stderr; names (avrdude, uf2, slow,
// startup, refresh, vm) run only those benchmarks. "vm" boots the
// test VM and runs "velta-bench vm-guest" in its desktop session, which
// prints its rows for this table ("vm-drive" is its part run as the
// desktop user).

#include "avrdudebench.h"
#include "realkernelbench.h"
#include "benchtable.h"
#include "refreshbench.h"
#include "slowcopybench.h"
#include "startupbench.h"
#include "uf2copybench.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#include <cstdio>
#include <thread>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList chosen = QCoreApplication::arguments().mid(1);
    const bool verbose = chosen.removeAll(QStringLiteral("-v")) > 0;
    auto wanted = [&](const char *name) { return chosen.isEmpty() || chosen.contains(QLatin1String(name)); };

    QElapsedTimer wall;
    wall.start();
    BenchTable table(verbose);
    auto step = [](const char *what) { std::fprintf(stderr, "velta-bench: %s...\n", what); };

    if (chosen == QStringList{QStringLiteral("vm-guest")}) {
        RealKernelBench(20, 5, 5).run(table);
        table.printRows();
        return 0;
    }
    if (chosen == QStringList{QStringLiteral("vm-drive")}) {
        std::printf("DRIVE_MS %.1f\n", RealKernelBench::commandToDrive());
        return 0;
    }

    if (wanted("avrdude")) {
        step("avrdude, runner vs direct");
        AvrdudeBench(20).run(table);
    }
    if (wanted("uf2")) {
        step("UF2 copy, the updater's vs cp + sync");
        Uf2CopyBench(10).run(table);
    }
    if (wanted("slow")) {
        step("UF2 copy onto a drive as slow as a boot loader, the update's vs dd (about two minutes)");
        SlowCopyBench(3).run(table);
    }
    if (wanted("startup")) {
        step("start-up probe");
        StartupBench(15).run(table);
    }
    if (wanted("refresh")) {
        step("refreshDevices()");
        RefreshBench(50).run(table);
    }

    if (wanted("vm")) {
        step("the test VM (Debian's kernel under emulation, about a minute)");
        QProcess vm;
        vm.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        vm.start(QStringLiteral("bash"), {QStringLiteral(VELTA_VMRUN), QStringLiteral("--timeout"), QStringLiteral("300"),
                                          QStringLiteral("--"), QStringLiteral("bash"), QStringLiteral(VELTA_DESKTOP),
                                          QCoreApplication::applicationFilePath(), QStringLiteral("vm-guest")});
        vm.waitForFinished(320000);
        int rows = 0;
        for (const QString &line : QString::fromUtf8(vm.readAllStandardOutput()).split(QLatin1Char('\n')))
            rows += table.addRow(line.trimmed()) ? 1 : 0;
        if (rows == 0)
            table.fail(QStringLiteral("VM benchmarks"), QStringLiteral("the test VM gave no rows (see above)"), QString());
    }

    const QString header =
        QStringLiteral("VeltaUpdater benchmarks  %1  cores: %2 online (hardware_concurrency %3)  run took %4 s")
            .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
            .arg(sysconf(_SC_NPROCESSORS_ONLN))
            .arg(std::thread::hardware_concurrency())
            .arg(double(wall.elapsed()) / 1000.0, 0, 'f', 1);
    table.print(header);
    return 0;
}
