#include "sysexbench.h"

#include "benchtable.h"
#include "samples.h"

#include "support/simdevice.h"
#include "support/updaterharness.h"
#include "usb/jackmidiservice.h"
#include "usb/updatecommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <exception>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString updaterName = QStringLiteral("SysEx: updater sendUpdateCommand()");
const QString rawName = QStringLiteral("SysEx: JackMidiService sendSysex -> complete");
const QString target = QStringLiteral("median <= 20 ms");
// A send's thread disconnects after it completes; the next send starts once
// that is surely over, as it would for a user.
constexpr auto gap = 30ms;
constexpr auto rawLimit = 2000ms;

Task<void> awaitSend(FirmwareUpdater *updater, QString port, std::exception_ptr *error, bool *done)
{
    try {
        auto send = updater->sendUpdateCommand(port);
        co_await send;
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
}

// The send as an upload makes it: awaited on the main thread's event loop.
void sendAndWait(FirmwareUpdater &updater, const QString &port)
{
    std::exception_ptr error;
    bool done = false;
    startDetached(awaitSend(&updater, port, &error, &done));
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (error)
        std::rethrow_exception(error);
}

} // namespace

void SysexBench::run(BenchTable &table) const
{
    SimDevice device;
    if (!device.start({QStringLiteral("--server"), jackServer_})) {
        table.fail(updaterName, QStringLiteral("velta-simdevice did not start"), target);
        table.fail(rawName, QStringLiteral("velta-simdevice did not start"), target);
        return;
    }
    auto midi = std::make_shared<JackMidiService>(jackServer_);
    UpdaterHarness harness(midi, {});
    harness->refreshDevices();
    UpdaterHarness::settle();
    const QString port = harness->selectedMIDIPortName();
    std::uint32_t endpoint = 0;
    for (const MIDIDeviceChoice &choice : harness->availableDestinations()) {
        if (choice.displayName == port)
            endpoint = choice.endpoint;
    }
    if (endpoint == 0) {
        table.fail(updaterName, QStringLiteral("the device's port was not found"), target);
        table.fail(rawName, QStringLiteral("the device's port was not found"), target);
        return;
    }

    // A send that fails is counted and the run goes on: how often that
    // happens is a figure of its own.
    int updaterFailures = 0;
    int rawFailures = 0;
    QString firstError;
    auto timeUpdater = [&]() -> double {
        QElapsedTimer t;
        t.start();
        try {
            sendAndWait(*harness, port);
        } catch (const std::exception &e) {
            ++updaterFailures;
            if (firstError.isEmpty())
                firstError = QString::fromUtf8(e.what());
            return -1.0;
        }
        return double(t.nsecsElapsed()) / 1e6;
    };
    auto timeRaw = [&]() -> double {
        auto request = std::make_shared<SysexRequest>();
        request->destination = endpoint;
        request->data = buildUpdateCommand();
        QElapsedTimer t;
        t.start();
        midi->sendSysex(request);
        // Short sleeps rather than a spin: the JACK threads need the cores.
        while (!request->complete.load() && t.nsecsElapsed() < std::chrono::nanoseconds(rawLimit).count())
            std::this_thread::sleep_for(100us);
        if (!request->complete.load()) {
            ++rawFailures;
            return -1.0;
        }
        return double(t.nsecsElapsed()) / 1e6;
    };

    Samples viaUpdater, raw;
    auto keep = [](Samples &samples, double ms) {
        if (ms >= 0)
            samples.add(ms);
    };
    for (int i = 0; i < sends_; ++i) {
        if (i % 2 == 0) {
            keep(viaUpdater, timeUpdater());
            std::this_thread::sleep_for(gap);
            keep(raw, timeRaw());
        } else {
            keep(raw, timeRaw());
            std::this_thread::sleep_for(gap);
            keep(viaUpdater, timeUpdater());
        }
        std::this_thread::sleep_for(gap);
    }
    table.detail(QStringLiteral("sendUpdateCommand ms"), viaUpdater);
    table.detail(QStringLiteral("sendSysex->complete ms"), raw);

    // Met only when every send completed as well.
    table.add(updaterName, viaUpdater.summary(updaterFailures), target,
              updaterFailures == 0 && viaUpdater.count() > 0 && viaUpdater.median() <= 20.0);
    table.add(rawName, raw.summary(rawFailures), target,
              rawFailures == 0 && raw.count() > 0 && raw.median() <= 20.0);
    if (!firstError.isEmpty())
        table.note(QStringLiteral("first sendUpdateCommand error: ") + firstError);
    const int completed = viaUpdater.count() + raw.count();
    device.waitFor([&] { return device.received().size() >= completed; }, 3000);
    const int delivered = int(device.received().size());
    if (delivered != completed)
        table.note(QStringLiteral("the device received %1 commands; %2 sends completed").arg(delivered).arg(completed));
}
