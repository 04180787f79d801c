#include "slowcopybench.h"

#include "benchtable.h"
#include "childprocess.h"
#include "samples.h"

#include "support/slowdrive.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

namespace {

const QString name = QStringLiteral("UF2: the update's copy onto a 64 KiB/s drive vs dd (1 MiB)");
const QString target = QStringLiteral("ratio <= 1.05, main thread still <= 50 ms");
constexpr int blocks = 2048; // 512 bytes each

struct CopyFigures {
    double ms = -1;
    double longestGapMs = -1;
};

// One whole USB update onto a fresh slow drive that comes on the command
// and leaves once it holds the image.
CopyFigures timeUpdate(const QString &source, const QString &drivePath, const QString &mountPoint, QString &problem)
{
    SlowDrive drive;
    if (!drive.start(drivePath, mountPoint, {"--leave", "--board-id", "RPI-RP2"})) {
        problem = QStringLiteral("the slow drive did not mount: ") + drive.log();
        return {};
    }
    UpdaterHarness h(std::make_shared<ScriptedMidiService>(QStringList{"VELTA 2 MIDI 1"}), {});
    h.scriptedMidi->onSend = [&] { QFile::link(mountPoint, h.volumes.filePath("RPI-RP2")); };
    h->setFirmwarePath(source);
    h->refreshDevices();

    CopyFigures figures;
    QElapsedTimer clock, sinceTick;
    qint64 started = -1, ended = -1, longestGap = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (started >= 0 && ended < 0)
            longestGap = std::max(longestGap, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });
    QObject::connect(h.updater.get(), &FirmwareUpdater::progressChanged, [&] {
        const std::optional<UploadProgress> progress = h->progress();
        if (progress && progress->percent == 0)
            started = clock.nsecsElapsed();
        if (progress && progress->percent == 100)
            ended = clock.nsecsElapsed();
    });
    clock.start();
    sinceTick.start();
    tick.start(5);
    h->startUpload();
    h.waitUntilIdle(60000);
    if (h.alertMessages() != QStringList{QStringLiteral("USB firmware upload complete.")} || started < 0 || ended < 0)
        problem = QStringLiteral("the update did not complete: ") + h.alertMessages().join(QLatin1Char(' '));
    figures.ms = double(ended - started) / 1e6;
    figures.longestGapMs = double(longestGap) / 1e6;
    return figures;
}

double timeDd(const QString &source, const QString &drivePath, const QString &mountPoint, QString &problem)
{
    SlowDrive drive;
    if (!drive.start(drivePath, mountPoint, {"--leave", "--board-id", "RPI-RP2"})) {
        problem = QStringLiteral("the slow drive did not mount: ") + drive.log();
        return -1;
    }
    // The updater's piece size; conv=fsync, as the updater flushes.
    const ChildProcess dd("dd", {"if=" + source.toStdString(), "of=" + mountPoint.toStdString() + "/dd.uf2", "bs=32k",
                                 "conv=fsync", "status=none"});
    QElapsedTimer clock;
    clock.start();
    if (dd.run(std::chrono::milliseconds(60000)).exitCode != 0)
        problem = QStringLiteral("dd failed");
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

void SlowCopyBench::run(BenchTable &table) const
{
    QTemporaryDir dir;
    const QString drivePath = dir.filePath(QStringLiteral("drive"));
    const QString mountPoint = dir.filePath(QStringLiteral("RPI-RP2"));
    if (!dir.isValid() || !QDir().mkdir(drivePath) || !QFile::exists(QStringLiteral("/dev/fuse"))) {
        table.fail(name, QStringLiteral("no folder or no /dev/fuse for the slow drive"), target);
        return;
    }
    const QString source = testfiles::writeFile(dir, QStringLiteral("usb.uf2"), uf2image::image(blocks));

    QString problem;
    Samples viaUpdate, viaDd, gaps;
    for (int i = 0; i < runs_ && problem.isEmpty(); ++i) {
        const CopyFigures update = timeUpdate(source, drivePath, mountPoint, problem);
        viaUpdate.add(update.ms);
        gaps.add(update.longestGapMs);
        viaDd.add(timeDd(source, drivePath, mountPoint, problem));
    }
    table.detail(QStringLiteral("update copy ms"), viaUpdate);
    table.detail(QStringLiteral("dd ms"), viaDd);
    table.detail(QStringLiteral("longest gap ms"), gaps);
    if (!problem.isEmpty()) {
        table.fail(name, problem, target);
        return;
    }
    const double ratio = viaUpdate.median() / viaDd.median();
    table.add(name,
              QStringLiteral("copy %1 ms, dd %2 ms (medians of %3), ratio %4; main thread still at most %5 ms")
                  .arg(viaUpdate.median(), 0, 'f', 0)
                  .arg(viaDd.median(), 0, 'f', 0)
                  .arg(runs_)
                  .arg(ratio, 0, 'f', 3)
                  .arg(gaps.worst(), 0, 'f', 1),
              target, ratio <= 1.05 && gaps.worst() <= 50);
}
