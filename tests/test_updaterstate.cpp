// The updater's state: start, device refresh, target change, and the
// deferred status setter everything else relies on.
#include "support/stderrcapture.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "app/alertpresenter.h"
#include "main/systemplatform.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <thread>

class TestUpdaterState : public QObject {
    Q_OBJECT
private slots:
    void startingState()
    {
        UpdaterHarness h({"VELTA 2"}, {"/dev/ttyACM0"});
        QCOMPARE(h->selectedTarget(), FirmwareTarget::usbFirmware);
        QCOMPARE(h->statusText(), QStringLiteral("Select a firmware target, file, and device."));
        QVERIFY(h->firmwarePath().isEmpty() && h->midiPortNames().isEmpty() && h->serialPorts().isEmpty());
        QVERIFY(!h->isBusy());
        // Registered, but no device is looked for until the first refresh.
        QCOMPARE(h.scriptedMidi->clientName, QStringLiteral("VeltaUpdater"));
        QCOMPARE(h->midiClient(), 7u);
        QVERIFY(h->availableDestinations().isEmpty());
    }

    void failedRegistrationChangesNothing()
    {
        auto midi = std::make_shared<ScriptedMidiService>(QStringList{"VELTA 2"});
        midi->clientHandle = 0;
        UpdaterHarness h(midi, {});
        QCOMPARE(h->midiClient(), 0u);
        h->refreshDevices();
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));
    }

    void serialListFollowsRealChangesOnly()
    {
        UpdaterHarness h(QStringList(), {"/dev/ttyACM0", "/dev/ttyUSB0"});
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->refreshDevices();
        h->setSelectedSerialPortPath("/dev/ttyUSB0"); // the user's own choice
        h.settle();
        // A notice with nothing changed keeps the choice.
        h.serial->notify();
        QTest::qWait(int(FirmwareUpdater::deviceSettleTime.count()) + 200);
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyUSB0"));
        // A port that goes: the lists are refreshed, the choice still listed kept.
        h.serial->paths = QStringList{"/dev/ttyUSB0"};
        h.serial->notify();
        QTRY_COMPARE_WITH_TIMEOUT(h->serialPorts().size(), 1, 1000);
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("Core firmware update ready."));
        h.serial->paths.clear();
        h.serial->notify();
        QTRY_COMPARE_WITH_TIMEOUT(h->statusText(), QStringLiteral("No USB serial device found."), 1000);
    }

    void noticesKeepHandPicksAndFollowTheDevice()
    {
        // One desk, change by change: the lists after each notice, what is
        // selected then, and what the user picks by hand afterwards.
        struct Step {
            const char *change;
            QStringList midi;
            QStringList serial;
            QString midiSelected;
            QString serialSelected;
            QString midiPick;
            QString serialPick;
        };
        const QString a = "VELTA 2 A", b = "VELTA 2 B", through = "Midi Through";
        const QString acm = "/dev/ttyACM0", usb = "/dev/ttyUSB0";
        const Step steps[] = {
            {"VELTA 2 A plugged in", {through, a}, {}, a, "", "", ""},
            {"VELTA 2 B plugged in", {through, a, b}, {}, a, "", b, ""},
            {"an unrelated adapter plugged in", {through, a, b}, {usb}, b, usb, "", usb},
            {"a preferred port plugged in", {through, a, b}, {acm, usb}, b, usb, "", ""},
            {"the picked unit unplugged", {through, a}, {acm, usb}, a, usb, "", ""},
            {"the other unit unplugged as well", {through}, {acm, usb}, through, usb, "", ""},
            {"it comes back", {through, a}, {acm, usb}, a, usb, "", ""},
        };
        UpdaterHarness h({through}, {});
        h->refreshDevices();
        h.chooser->answer = "/home/me/fw.uf2";
        h->chooseFirmwareFile();
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("Firmware file selected."));
        for (const Step &step : steps) {
            h.scriptedMidi->destinations = ScriptedMidiService(step.midi).destinations;
            h.serial->paths = step.serial;
            // Either service's notice looks at both lists.
            h.serial->notify();
            QStringList shown;
            QVERIFY2(QTest::qWaitFor([&] {
                         shown = h->midiPortNames();
                         for (const SerialPortChoice &port : h->serialPorts())
                             shown << port.path;
                         return shown == step.midi + step.serial;
                     }, 2000),
                     step.change);
            h.settle();
            QCOMPARE(h->selectedMIDIPortName(), step.midiSelected);
            QCOMPARE(h->selectedSerialPortPath(), step.serialSelected);
            QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));
            if (!step.midiPick.isEmpty())
                h->setSelectedMIDIPortName(step.midiPick);
            if (!step.serialPick.isEmpty())
                h->setSelectedSerialPortPath(step.serialPick);
        }
        // Refresh prefers again, the user's picks or not.
        h->refreshDevices();
        QCOMPARE(h->selectedSerialPortPath(), acm);
        QCOMPARE(h->selectedMIDIPortName(), a);
    }

    void noMidiSystemMeansNoDeviceQuietly()
    {
        // The real platform on a machine without an ALSA sequencer.
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

    void refreshChoosesTheReadinessText_data()
    {
        QTest::addColumn<QStringList>("midi");
        QTest::addColumn<QStringList>("serial");
        QTest::addColumn<FirmwareTarget>("target");
        QTest::addColumn<QString>("status");
        QTest::newRow("usb, none") << QStringList() << QStringList({"/dev/ttyACM0"}) << FirmwareTarget::usbFirmware
                                   << "No USB MIDI device found.";
        QTest::newRow("usb, one") << QStringList({"Synth"}) << QStringList() << FirmwareTarget::usbFirmware
                                  << "USB firmware update ready.";
        // Blanks are a name here; the upload's trimming refuses it later.
        QTest::newRow("usb, blank name") << QStringList({"   "}) << QStringList() << FirmwareTarget::usbFirmware
                                         << "USB firmware update ready.";
        QTest::newRow("core, none") << QStringList({"VELTA 2"}) << QStringList() << FirmwareTarget::coreFirmware
                                    << "No USB serial device found.";
        QTest::newRow("core, one") << QStringList() << QStringList({"/dev/ttyUSB0"}) << FirmwareTarget::coreFirmware
                                   << "Core firmware update ready.";
    }
    void refreshChoosesTheReadinessText()
    {
        QFETCH(QStringList, midi);
        QFETCH(QStringList, serial);
        QFETCH(FirmwareTarget, target);
        QFETCH(QString, status);
        UpdaterHarness h(midi, serial);
        h->setSelectedTarget(target);
        h->refreshDevices();
        h.settle();
        QCOMPARE(h->statusText(), status);
        // Both lists are refreshed whatever the target.
        QCOMPARE(h->midiPortNames().size(), midi.size());
        QCOMPARE(h->serialPorts().size(), serial.size());
        QCOMPARE(h->selectedMIDIPortName().isEmpty(), midi.isEmpty());
        QCOMPARE(h->selectedSerialPortPath().isEmpty(), serial.isEmpty());
    }

    void refreshPrefersAgainAndReplacesTheLists()
    {
        UpdaterHarness h({"Synth", "VELTA 2", "Keys"}, {"/dev/ttyUSB0", "/dev/ttyACM3"});
        h->refreshDevices();
        QCOMPARE(h->midiPortNames(), QStringList({"Keys", "Synth", "VELTA 2"}));
        QCOMPARE(h->selectedMIDIPortName(), QStringLiteral("VELTA 2"));
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM3"));
        QCOMPARE(h->availableDestinations().at(2).endpoint, 2u);

        h->setSelectedMIDIPortName("Keys");
        h->setSelectedSerialPortPath("/dev/ttyUSB0");
        const QUuid oldId = h->serialPorts().at(0).id;
        h.scriptedMidi->destinations.removeFirst();
        h->refreshDevices();
        QCOMPARE(h->midiPortNames(), QStringList({"Keys", "VELTA 2"}));
        QCOMPARE(h->selectedMIDIPortName(), QStringLiteral("VELTA 2"));
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM3"));
        QVERIFY(h->serialPorts().at(0).id != oldId);
    }

    void targetChangeEndsWithTheReadinessText()
    {
        UpdaterHarness h({"VELTA 2"}, {});
        h->setFirmwarePath("/tmp/fw.uf2");
        // What the window does on a target change.
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->resetForTargetChange();
        h->refreshDevices();
        QVERIFY(h->firmwarePath().isEmpty());
        h.settle();
        QCOMPARE(h.statuses(), QStringList({"Select a Core firmware file and USB serial device.", "No USB serial device found."}));
        QCOMPARE(h->statusText(), QStringLiteral("No USB serial device found."));

        h->setSelectedTarget(FirmwareTarget::usbFirmware);
        h->resetForTargetChange();
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("Select a USB firmware file and USB MIDI device."));
    }

    void statusUpdatesAreDeferredAndKeepTheirOrder()
    {
        UpdaterHarness h;
        const QString before = h->statusText();
        h->setStatus("Done.");
        QCOMPARE(h->statusText(), before);
        // Alerts posted in between take their turn, from any thread.
        showAlert(h.alerts, "VELTA 2 Updater", "first alert");
        h->setStatus("Failed.");
        std::thread([&h] { showAlert(h.alerts, "VELTA 2 Updater", "from a worker"); }).join();
        h->setStatus("Done.");
        QVERIFY(h.alerts->messages.isEmpty());
        h.settle();
        QCOMPARE(h.log, QStringList({"status:Done.", "alert:first alert", "status:Failed.", "alert:from a worker",
                                     "status:Done."}));
    }

    void postedWorkKeepsTheUpdaterAlive_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::newRow("a status") << false;
        QTest::newRow("an upload") << true;
    }
    void postedWorkKeepsTheUpdaterAlive()
    {
        // Nothing but the posted work holds the updater once it is dropped;
        // were the work to refer to it without a reference, it would run on
        // a deleted updater (a crash under VELTA_SANITIZE).
        QFETCH(bool, upload);
        QTemporaryDir dir;
        auto alerts = std::make_shared<RecordingAlerts>();
        // The name's blanks fail the upload at once, at the lookup.
        UpdaterPlatform platform;
        platform.midi = std::make_shared<ScriptedMidiService>(QStringList{" VELTA 2 "});
        platform.alerts = alerts;
        auto updater = FirmwareUpdater::create(platform);
        QStringList seen;
        QObject::connect(updater.get(), &FirmwareUpdater::statusTextChanged,
                         [&seen, u = updater.get()] { seen << u->statusText(); });
        if (upload) {
            updater->refreshDevices();
            updater->setFirmwarePath(testfiles::writeFile(dir, "fw.uf2", uf2image::image(1)));
            updater->startUpload();
        } else {
            updater->setStatus("Done.");
        }
        updater.reset();
        QTRY_VERIFY(!seen.isEmpty() && (seen.last() == "Failed." || seen.last() == "Done."));
        QCOMPARE(seen.last(), upload ? QStringLiteral("Failed.") : QStringLiteral("Done."));
        QCOMPARE(alerts->messages,
                 upload ? QStringList{"USB firmware update failed.\n\nCould not find the selected MIDI destination: 'VELTA 2'."}
                        : QStringList());
    }
};

QTEST_GUILESS_MAIN(TestUpdaterState)
#include "test_updaterstate.moc"
