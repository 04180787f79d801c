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
        // they catch up once it has ended.
        QFile fw(dir.filePath("fw.uf2"));
        QVERIFY(fw.open(QIODevice::WriteOnly) && fw.write(uf2image::image(1)) == 512);
        fw.close();
        h->setFirmwarePath(fw.fileName());
        h->startUpload();
        QVERIFY2(QTest::qWaitFor([&] { return !velta.received().isEmpty(); }, 3000), qPrintable(h.log.join("|")));
        SimDevice synth;
        QVERIFY2(synth.start({"--server", server.name(), "--client", "Synth", "--port", "in"}), qPrintable(synth.log()));
        QCOMPARE(h->midiPortNames(), QStringList{device});
        QVERIFY(h.waitUntilIdle(10000));
        QVERIFY(QTest::qWaitFor([&] { return h->midiPortNames() == QStringList({"Synth:in", device}); }, 1500));
        velta.stop();
        QVERIFY(QTest::qWaitFor([&] { return h->midiPortNames() == QStringList{"Synth:in"}; }, 1500));

        // Unplugged: the list empties; the outcome stays until the user acts.
        synth.stop();
        QVERIFY(QTest::qWaitFor([&] { return h->midiPortNames().isEmpty(); }, 1500));
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("Failed."));
    }

};

QTEST_GUILESS_MAIN(TestMidiIntegration)
#include "test_midiintegration.moc"
