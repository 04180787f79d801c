#include "realkernelbench.h"

#include "benchtable.h"
#include "samples.h"

#include "main/systemplatform.h"
#include "support/desktopsession.h"
#include "support/simdevice.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "usb/alsamidiservice.h"
#include "usb/updatecommand.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString port = QStringLiteral("VELTA 2 MIDI 1");
const QString sendName = QStringLiteral("VM (emulated): AlsaMidiService sendSysex -> complete, USB MIDI port");
const QString sendTarget = QStringLiteral("median <= 20 ms");
const QString updateName = QStringLiteral("VM (emulated): USB update, click to alert, less device and pauses");
const QString updateTarget = QStringLiteral("median <= 1000 ms");
// The workflow's own pauses: 1 s before the copy, 2 s after it.
constexpr double fixedPausesMs = 3000.0;
const QString automountedName = QStringLiteral("VM (emulated): command sent -> drive usable, desktop automounts it");
const QString selfMountedName = QStringLiteral("VM (emulated): command sent -> drive usable, updater mounts it (UDisks2)");
const QString driveTarget = QStringLiteral("median <= 5000 ms");

} // namespace

void RealKernelBench::run(BenchTable &table) const
{
    if (!QFile::exists(QStringLiteral("/sys/kernel/config/usb_gadget"))) {
        table.fail(sendName, QStringLiteral("not in the test VM"), sendTarget);
        table.fail(updateName, QStringLiteral("not in the test VM"), updateTarget);
        return;
    }
    sends(table);
    updates(table);
    if (!desktopsession::isUp()) {
        table.fail(automountedName, QStringLiteral("no desktop session (tests/vm/desktop.sh)"), driveTarget);
        table.fail(selfMountedName, QStringLiteral("no desktop session (tests/vm/desktop.sh)"), driveTarget);
        return;
    }
    drives(table);
}

void RealKernelBench::sends(BenchTable &table) const
{
    // The device stays a MIDI device however often it hears the command.
    SimDevice device;
    auto midi = AlsaMidiService::create();
    if (!device.start({QStringLiteral("midi"), QStringLiteral("--never-drive")}) || !midi) {
        table.fail(sendName, QStringLiteral("no device or no sequencer: ") + device.log(), sendTarget);
        return;
    }
    std::uint32_t endpoint = 0;
    for (int i = 0, n = midi->destinationCount(); i < n; ++i) {
        if (midi->stringProperty(midi->destination(i), MidiProperty::displayName) == port)
            endpoint = midi->destination(i);
    }
    Samples samples;
    int failures = 0;
    for (int i = 0; i < sends_ && endpoint != 0; ++i) {
        auto request = std::make_shared<SysexRequest>();
        request->destination = endpoint;
        request->data = buildUpdateCommand();
        QElapsedTimer t;
        t.start();
        midi->sendSysex(request);
        while (!request->complete.load() && t.elapsed() < 2000)
            std::this_thread::sleep_for(100us);
        if (request->complete.load())
            samples.add(double(t.nsecsElapsed()) / 1e6);
        else
            ++failures;
        std::this_thread::sleep_for(50ms);
    }
    table.detail(QStringLiteral("VM sendSysex->complete ms"), samples);
    table.add(sendName, samples.summary(failures), sendTarget,
              failures == 0 && samples.count() > 0 && samples.median() <= 20.0);
}

void RealKernelBench::updates(BenchTable &table) const
{
    QTemporaryDir dir;
    QFile fw(dir.filePath(QStringLiteral("fw.uf2")));
    if (!fw.open(QIODevice::WriteOnly) || fw.write(uf2image::image(200)) != 200 * 512) {
        table.fail(updateName, QStringLiteral("cannot write the image"), updateTarget);
        return;
    }
    fw.close();
    Samples overhead;
    int failures = 0;
    for (int i = 0; i < updates_; ++i) {
        SimDevice device;
        if (!device.start({QStringLiteral("midi")})) {
            ++failures;
            continue;
        }
        UpdaterHarness h(systemPlatform());
        h->refreshDevices();
        h->setFirmwarePath(fw.fileName());
        UpdaterHarness::settle();
        // The device's own time runs from the command arriving to its drive
        // being mounted; both are seen as the device reports them.
        QElapsedTimer clock;
        clock.start();
        qint64 received = -1, mounted = -1;
        h->startUpload();
        const bool ended = QTest::qWaitFor(
            [&] {
                if (received < 0 && !device.received().isEmpty())
                    received = clock.elapsed();
                if (mounted < 0 && !device.drive().isEmpty())
                    mounted = clock.elapsed();
                return !h.alertMessages().isEmpty();
            },
            60000);
        const double total = double(clock.elapsed());
        if (!ended || h.alertMessages().value(0) != QStringLiteral("USB firmware upload complete.") || received < 0
            || mounted < 0) {
            ++failures;
            continue;
        }
        overhead.add(total - double(mounted - received) - fixedPausesMs);
    }
    table.detail(QStringLiteral("VM update overhead ms"), overhead);
    table.add(updateName, overhead.summary(failures), updateTarget,
              failures == 0 && overhead.count() > 0 && overhead.median() <= 1000.0);
}

double RealKernelBench::commandToDrive()
{
    UpdaterHarness h(systemPlatform());
    h->refreshDevices();
    UpdaterHarness::settle();
    // The clock starts once the command has gone out.
    QElapsedTimer clock;
    std::optional<BootDrive> drive;
    bool ended = false;
    auto run = [](FirmwareUpdater &updater, QElapsedTimer &clock, std::optional<BootDrive> &out,
                  bool &done) -> Task<void> {
        try {
            auto send = updater.sendUpdateCommand(port);
            co_await send;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "the command was not sent: %s\n", e.what());
            done = true;
            co_return;
        }
        clock.start();
        // No boot drive is there before the command on this rig.
        auto driveWait = updater.waitForBootDrive(UpdaterPlatform::defaultBootDriveTimeoutSeconds, {});
        out = co_await driveWait;
        done = true;
    };
    startDetached(run(*h, clock, drive, ended));
    const bool waited = QTest::qWaitFor([&] { return ended; }, 30000);
    if (!drive && clock.isValid())
        std::fprintf(stderr, "no drive after %.0f ms\n", double(clock.elapsed()));
    return waited && drive ? double(clock.nsecsElapsed()) / 1e6 : -1;
}

void RealKernelBench::drives(BenchTable &table) const
{
    const QList<QPair<QString, QString>> modes{{QStringLiteral("desktop"), automountedName},
                                               {QStringLiteral("none"), selfMountedName}};
    for (const auto &[mode, name] : modes) {
        Samples samples;
        int failures = 0;
        for (int i = 0; i < drives_; ++i) {
            SimDevice device;
            QString output;
            bool ok = false;
            if (device.start({QStringLiteral("midi"), QStringLiteral("--user"), desktopsession::user,
                              QStringLiteral("--mount"), mode})
                && desktopsession::runAsUser(QStringLiteral("velta-bench"), {QStringLiteral("vm-drive")}, 60000, &output) == 0) {
                const double ms = output.section(QStringLiteral("DRIVE_MS "), 1).section(QLatin1Char('\n'), 0, 0).toDouble(&ok);
                if (ok && ms >= 0)
                    samples.add(ms);
                else
                    ok = false;
            }
            if (!ok) {
                ++failures;
                table.note(QStringLiteral("%1 drive, try %2: %3 %4").arg(mode).arg(i + 1).arg(device.log().trimmed(),
                                                                                    output.right(300).trimmed()));
            }
            device.stop();
            // UDisks2 clears the mount of a drive that went away.
            if (!QTest::qWaitFor([] { return desktopsession::bootDriveMount().isEmpty(); }, 10000))
                table.note(QStringLiteral("UDisks2 left the boot drive mounted after it went away"));
        }
        table.detail(QStringLiteral("VM command->drive ms, ") + mode, samples);
        table.add(name, samples.summary(failures), driveTarget,
                  failures == 0 && samples.count() > 0 && samples.median() <= 5000.0);
    }
}
