// The USB side of the updater against a real JACK server (dummy driver) and
// the simulated device: discovery, the update command, the boot drive and
// the copy. (Servers and devices that go away: test_faults.)
#include "base/updatererror.h"
#include "support/jackserver.h"
#include "support/simdevice.h"
#include "support/stderrcapture.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "app/systemplatform.h"
#include "usb/firmwarecopy.h"
#include "usb/jackmidiservice.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString device = QStringLiteral("VELTA 2:MIDI 1");
const QString updateCommandHex = QStringLiteral("F0 7D 56 4C 32 56 45 4C 54 41 32 01 F7");

// The error sendUpdateCommand throws (kind and message), or "sent".
QString sendResult(FirmwareUpdater &updater, const QString &name, qint64 *elapsedMs = nullptr)
{
    QElapsedTimer clock;
    clock.start();
    QString result = QStringLiteral("sent");
    try {
        updater.sendUpdateCommand(name);
    } catch (const UpdaterError &error) {
        result = QString::number(int(error.kind())) + QLatin1Char(' ') + error.errorDescription();
    }
    if (elapsedMs)
        *elapsedMs = clock.elapsed();
    return result;
}

QString notFound(const QString &name)
{
    return QString::number(int(UpdaterError::Kind::midiDestinationNotFound))
        + " Could not find the selected MIDI destination: '" + name + "'.";
}

// A private server with the device and an unrelated synth on it.
struct Rig {
    Rig()
    {
        serverUp = server.start();
        deviceUp = serverUp && velta.start({"--server", server.name(), "--volumes", volumes.path()})
            && synth.start({"--server", server.name(), "--client", "Synth", "--port", "in"});
    }
    JackServer server;
    QTemporaryDir volumes;
    SimDevice velta;
    SimDevice synth;
    bool serverUp = false;
    bool deviceUp = false;
};

} // namespace

class TestMidiIntegration : public QObject {
    Q_OBJECT
private slots:
    void noMidiSystemMeansNoDeviceQuietly()
    {
        // The real platform on a machine with neither ALSA nor a JACK server.
        if (QFile::exists("/dev/snd/seq"))
            QSKIP("this machine has an ALSA sequencer");
        StderrCapture capture;
        QElapsedTimer clock;
        clock.start();
        auto updater = FirmwareUpdater::create(systemPlatform());
        updater->refreshDevices();
        UpdaterHarness::settle();
        const qint64 elapsed = clock.elapsed();
        const QByteArray noise = capture.finish();
        QCOMPARE(updater->statusText(), QStringLiteral("No USB MIDI device found."));
        QVERIFY(updater->midiPortNames().isEmpty());
        QVERIFY2(noise.isEmpty(), noise.constData());
        QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    }

    void deviceIsListedAndPreferred()
    {
        Rig rig;
        QVERIFY2(rig.deviceUp, qPrintable(rig.server.log() + rig.velta.log() + rig.synth.log()));
        UpdaterHarness h(std::make_shared<JackMidiService>(rig.server.name()), {});
        QVERIFY(h->midiClient() != 0);
        h->refreshDevices();
        h.settle();
        QCOMPARE(h->midiPortNames(), QStringList({"Synth:in", device}));
        QCOMPARE(h->selectedMIDIPortName(), device);
        QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));
    }

    void listsFollowTheDevice()
    {
        JackServer server;
        QVERIFY2(server.start(), qPrintable(server.log()));
        QTemporaryDir dir;
        UpdaterHarness h(std::make_shared<JackMidiService>(server.name()), {}, {}, AvrdudeRunner(), 2.0);
        h->refreshDevices();
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("No USB MIDI device found."));

        // Plugged in: listed, chosen and ready, as if Refresh had been pressed.
        SimDevice velta;
        QVERIFY2(velta.start({"--server", server.name()}), qPrintable(velta.log()));
        QVERIFY(QTest::qWaitFor([&] { return h->midiPortNames() == QStringList{device}; }, 1500));
        h.settle();
        QCOMPARE(h->selectedMIDIPortName(), device);
        QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));

        // While an upload runs (its drive never comes) the lists stand still;
        // the next change after it moves them.
        QFile fw(dir.filePath("fw.uf2"));
        QVERIFY(fw.open(QIODevice::WriteOnly) && fw.write(uf2image::image(1)) == 512);
        fw.close();
        h->setFirmwarePath(fw.fileName());
        h->startUpload();
        QVERIFY2(QTest::qWaitFor([&] { return !velta.received().isEmpty(); }, 3000), qPrintable(h.log.join("|")));
        SimDevice synth;
        QVERIFY2(synth.start({"--server", server.name(), "--client", "Synth", "--port", "in"}), qPrintable(synth.log()));
        QVERIFY(h.waitUntilIdle(10000));
        QTest::qWait(500);
        QCOMPARE(h->midiPortNames(), QStringList{device});
        velta.stop();
        QVERIFY(QTest::qWaitFor([&] { return h->midiPortNames() == QStringList{"Synth:in"}; }, 1500));

        // Unplugged: the list empties.
        synth.stop();
        QVERIFY(QTest::qWaitFor([&] { return h->midiPortNames().isEmpty(); }, 1500));
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("No USB MIDI device found."));
    }

    void updateCommandDriveAndCopy()
    {
        Rig rig;
        QVERIFY2(rig.deviceUp, qPrintable(rig.server.log() + rig.velta.log()));
        UpdaterHarness h(std::make_shared<JackMidiService>(rig.server.name()), {}, {rig.volumes.path()});
        h->refreshDevices();

        // Names that are not listed exactly send nothing.
        for (const QString &name : {QStringLiteral("velta 2:midi 1"), QStringLiteral(" VELTA 2:MIDI 1"), QString()})
            QCOMPARE(sendResult(*h, name), notFound(name));

        qint64 elapsed = 0;
        QCOMPARE(sendResult(*h, device, &elapsed), QStringLiteral("sent"));
        QVERIFY2(elapsed < 500, qPrintable(QString::number(elapsed)));
        QVERIFY(rig.velta.waitFor([&] { return !rig.velta.drive().isEmpty(); }, 5000));
        QCOMPARE(rig.velta.received(), QStringList({updateCommandHex}));
        QVERIFY(rig.synth.received().isEmpty());

        std::optional<QString> drive;
        auto wait = [&]() -> Task<void> { drive = co_await h->waitForBootDrive(5.0); };
        startDetached(wait());
        QVERIFY(QTest::qWaitFor([&] { return drive.has_value(); }, 6000));
        QCOMPARE(*drive, rig.velta.drive());

        QTemporaryDir dir;
        const QByteArray image = uf2image::image(100);
        QFile source(dir.filePath("fw.uf2"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write(image) == image.size());
        source.close();
        copyFirmware(source.fileName(), *drive + "/fw.uf2");
        QVERIFY(rig.velta.waitFor([&] { return !rig.velta.written().isEmpty(); }, 5000));
        QCOMPARE(rig.velta.written(), QStringList({QStringLiteral("fw.uf2 %1").arg(image.size())}));
        QFile copy(*drive + "/fw.uf2");
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), image);
    }
};

QTEST_GUILESS_MAIN(TestMidiIntegration)
#include "test_midiintegration.moc"
