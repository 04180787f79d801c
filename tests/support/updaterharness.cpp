#include "support/updaterharness.h"

#include <QCoreApplication>
#include <QTest>

UpdaterHarness::UpdaterHarness(const QStringList &midiNames, const QStringList &serialPaths,
                               double bootDriveTimeoutSeconds)
{
    scriptedMidi = std::make_shared<ScriptedMidiService>(midiNames);
    build(scriptedMidi, serialPaths, {}, AvrdudeRunner(), bootDriveTimeoutSeconds);
}

UpdaterHarness::UpdaterHarness(std::shared_ptr<MidiService> midi, const QStringList &serialPaths,
                               const QStringList &volumeRoots, AvrdudeRunner avrdude,
                               double bootDriveTimeoutSeconds)
{
    scriptedMidi = std::dynamic_pointer_cast<ScriptedMidiService>(midi);
    build(std::move(midi), serialPaths, volumeRoots, std::move(avrdude), bootDriveTimeoutSeconds);
}

UpdaterHarness::UpdaterHarness(UpdaterPlatform platform)
{
    record(platform);
    updater = FirmwareUpdater::create(std::move(platform));
    follow();
}

void UpdaterHarness::record(UpdaterPlatform &platform)
{
    alerts = std::make_shared<RecordingAlerts>();
    alerts->log = &log;
    chooser = std::make_shared<ScriptedFileChooser>();
    platform.alerts = alerts;
    platform.fileChooser = chooser;
    platform.writeStandardOutput = [this](const QString &text) { standardOutput << text; };
}

void UpdaterHarness::follow()
{
    QObject::connect(updater.get(), &FirmwareUpdater::statusTextChanged, &m_context, [this] {
        log << QStringLiteral("status:") + updater->statusText();
    });
    QObject::connect(updater.get(), &FirmwareUpdater::isBusyChanged, &m_context, [this] {
        log << QStringLiteral("busy:") + (updater->isBusy() ? QStringLiteral("true") : QStringLiteral("false"));
    });
}

void UpdaterHarness::build(std::shared_ptr<MidiService> midi, const QStringList &serialPaths, QStringList volumeRoots,
                           AvrdudeRunner avrdude, double bootDriveTimeoutSeconds)
{
    serial = std::make_shared<FakeSerialRegistry>(serialPaths);
    if (volumeRoots.isEmpty())
        volumeRoots << volumes.path();
    UpdaterPlatform platform{std::move(midi), serial, volumeRoots, {}, std::move(avrdude), {}, {}, {}, bootDriveTimeoutSeconds};
    record(platform);
    updater = FirmwareUpdater::create(std::move(platform));
    follow();
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
