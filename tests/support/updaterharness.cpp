#include "support/updaterharness.h"

#include <QCoreApplication>
#include <QTest>

UpdaterHarness::UpdaterHarness(std::shared_ptr<MidiService> midi, const QStringList &serialPaths,
                               const QStringList &volumeRoots, AvrdudeRunner avrdude, double bootDriveTimeoutSeconds)
    : scriptedMidi(std::dynamic_pointer_cast<ScriptedMidiService>(midi)),
      serial(std::make_shared<FakeSerialRegistry>(serialPaths))
{
    start({std::move(midi), serial, volumeRoots.isEmpty() ? QStringList{volumes.path()} : volumeRoots, {},
           std::move(avrdude), {}, {}, {}, bootDriveTimeoutSeconds});
}

void UpdaterHarness::start(UpdaterPlatform platform)
{
    alerts->log = &log;
    platform.alerts = alerts;
    platform.fileChooser = chooser;
    platform.writeStandardOutput = [this](const QString &text) { standardOutput << text; };
    updater = FirmwareUpdater::create(std::move(platform));
    QObject::connect(updater.get(), &FirmwareUpdater::statusTextChanged, &m_context,
                     [this] { log << QStringLiteral("status:") + updater->statusText(); });
    QObject::connect(updater.get(), &FirmwareUpdater::isBusyChanged, &m_context,
                     [this] { log << (updater->isBusy() ? QStringLiteral("busy:true") : QStringLiteral("busy:false")); });
}

void UpdaterHarness::settle()
{
    // Work posted by posted work (layout requests climbing up to the window)
    // needs a few rounds.
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

bool UpdaterHarness::waitUntilIdle(int timeoutMs)
{
    const bool idle = QTest::qWaitFor([this] { return !updater->isBusy(); }, timeoutMs);
    settle();
    return idle;
}

QStringList UpdaterHarness::statuses() const
{
    QStringList result;
    for (const QString &entry : log) {
        if (entry.startsWith(QStringLiteral("status:")))
            result << entry.mid(7);
    }
    return result;
}
