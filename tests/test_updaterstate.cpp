// The updater's state: start, device lists and their picks, target change,
// and the deferred status setter everything else relies on.
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "main/systemplatform.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>

#include <thread>
#include <unistd.h>

class TestUpdaterState : public QObject {
    Q_OBJECT
private slots:
    void refreshListsSortsAndPrefers()
    {
        UpdaterHarness h(QStringList(), {"/dev/ttyUSB0", "/dev/ttyACM3"});
        h.scriptedMidi->destinations = {
            {1, "A VELTA 2", {}}, {2, {}, "USBVELTA2 MIDI 1"}, // no display name: the other name
            {3, "", "Hidden"}, {4, {}, {}}, {0, "Zero", {}},    // no name, no endpoint: skipped
            {5, "  ", {}},                                      // blanks are a name
            {6, "keys", {}}, {7, "drum 10", {}}, {8, "Keys", {}}, {9, "keys", {}}, {10, "Caf\u00e9", {}},
            {11, "Cafe\u0301", {}}, {12, "drum 9", {}}};
        QCOMPARE(h->statusText(), QStringLiteral("Select a firmware target, file, and device."));
        QVERIFY(h->selectedTarget() == FirmwareTarget::usbFirmware && h->firmwarePath().isEmpty() && !h->isBusy());
        // Registered, but no device is looked for until the first refresh.
        QCOMPARE(h.scriptedMidi->clientName, QStringLiteral("VeltaUpdater"));
        QCOMPARE(h->midiClient(), 7u);
        QVERIFY(h->midiPortNames().isEmpty() && h->serialPorts().isEmpty() && h->availableDestinations().isEmpty());
        h->refreshDevices();
        // Sorted as characters, ignoring case; a duplicate keeps the lowest
        // index (case counts, canonical equivalence doesn't).
        QCOMPARE(h->midiPortNames(), QStringList({"  ", "A VELTA 2", "Caf\u00e9", "drum 10", "drum 9", "keys", "Keys",
                                                  "USBVELTA2 MIDI 1"}));
        QList<quint32> endpoints;
        for (const MIDIDeviceChoice &choice : h->availableDestinations())
            endpoints << choice.endpoint;
        QCOMPARE(endpoints, QList<quint32>({5, 1, 10, 7, 12, 6, 8, 2}));
        // The first keyword wins over the list's order.
        QCOMPARE(h->selectedMIDIPortName(), QStringLiteral("USBVELTA2 MIDI 1"));
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM3"));
        // A refresh drops the user's picks and makes new ids.
        h->setSelectedMIDIPortName("keys");
        h->setSelectedSerialPortPath("/dev/ttyUSB0");
        const QUuid oldId = h->serialPorts().at(0).id, oldMidiId = h->availableDestinations().at(0).id;
        h.scriptedMidi->destinations.removeFirst();
        h->refreshDevices();
        QCOMPARE(h->midiPortNames().size(), 7);
        QCOMPARE(h->selectedMIDIPortName(), QStringLiteral("USBVELTA2 MIDI 1"));
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM3"));
        QVERIFY(h->serialPorts().at(0).id != oldId && h->availableDestinations().at(0).id != oldMidiId);
        // A failed registration changes nothing else.
        h.scriptedMidi->clientHandle = 0;
        UpdaterHarness unregistered(h.scriptedMidi, {});
        QCOMPARE(unregistered->midiClient(), 0u);
        unregistered->refreshDevices();
        unregistered.settle();
        QCOMPARE(unregistered->statusText(), QStringLiteral("USB firmware update ready."));
    }

    void noticesKeepHandPicksAndFollowTheDevice()
    {
        // One desk, change by change: the lists after each notice, what is
        // selected then, and what the user picks by hand afterwards.
        struct Step {
            const char *change;
            QStringList midi, serial;
            QString midiSelected, serialSelected, midiPick, serialPick;
        };
        const QString a = "VELTA 2 A", b = "VELTA 2 B", through = "Midi Through", acm = "/dev/ttyACM0", usb = "/dev/ttyUSB0";
        const Step steps[] = {
            {"VELTA 2 A plugged in", {through, a}, {}, a, "", "", ""},
            {"VELTA 2 B plugged in", {through, a, b}, {}, a, "", b, ""},
            {"an unrelated adapter plugged in", {through, a, b}, {usb}, b, usb, "", usb},
            {"a preferred port plugged in", {through, a, b}, {acm, usb}, b, usb, "", ""},
            {"the picked unit unplugged", {through, a}, {acm, usb}, a, usb, "", ""},
            {"the other unit unplugged as well", {through}, {acm, usb}, through, usb, "", ""},
            {"it comes back", {through, a}, {acm, usb}, a, usb, through, ""},
            {"everything unplugged", {}, {}, "", "", "", ""},
            {"everything back", {through, a}, {acm, usb}, a, acm, through, usb},
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
            h.serial->notify(); // either service's notice looks at both lists
            QVERIFY2(QTest::qWaitFor([&] {
                         QStringList shown = h->midiPortNames();
                         for (const SerialPortChoice &port : h->serialPorts())
                             shown << port.path;
                         return shown == step.midi + step.serial;
                     }, 2000), step.change);
            h.settle();
            QCOMPARE(h->selectedMIDIPortName(), step.midiSelected);
            QCOMPARE(h->selectedSerialPortPath(), step.serialSelected);
            QCOMPARE(h->statusText(), step.midi.isEmpty() ? "No USB MIDI device found." : "USB firmware update ready.");
            if (!step.midiPick.isEmpty())
                h->setSelectedMIDIPortName(step.midiPick);
            if (!step.serialPick.isEmpty())
                h->setSelectedSerialPortPath(step.serialPick);
        }
        // Refresh prefers again, the user's picks or not.
        h->refreshDevices();
        QVERIFY(h->selectedSerialPortPath() == acm && h->selectedMIDIPortName() == a);
    }

    void noMidiSystemMeansNoDeviceQuietly()
    {
        // The real platform on a machine without an ALSA sequencer. Libraries
        // write to fd 2 directly, past Qt's message handler.
        if (QFile::exists("/dev/snd/seq"))
            QSKIP("this machine has an ALSA sequencer");
        QTemporaryFile noise;
        QVERIFY(noise.open());
        std::fflush(stderr);
        const int savedStderr = ::dup(2);
        ::dup2(noise.handle(), 2);
        QElapsedTimer clock;
        clock.start();
        auto updater = FirmwareUpdater::create(systemPlatform());
        updater->refreshDevices();
        UpdaterHarness::settle();
        const qint64 elapsed = clock.elapsed();
        std::fflush(stderr);
        ::dup2(savedStderr, 2);
        ::close(savedStderr);
        QVERIFY(noise.seek(0));
        QCOMPARE(noise.readAll(), QByteArray());
        QCOMPARE(updater->statusText(), QStringLiteral("No USB MIDI device found."));
        QVERIFY(updater->midiPortNames().isEmpty());
        QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    }

    void readinessFollowsTheTarget()
    {
        // What the window does on a target change: the hint, then the
        // readiness text of a refresh.
        UpdaterHarness h({"VELTA 2"}, {});
        h->setFirmwarePath("/tmp/fw.uf2");
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->resetForTargetChange();
        h->refreshDevices();
        QVERIFY(h->firmwarePath().isEmpty());
        h.serial->paths = QStringList{"/dev/ttyUSB0"};
        h->refreshDevices();
        h->setSelectedTarget(FirmwareTarget::usbFirmware);
        h->resetForTargetChange();
        h.settle();
        QCOMPARE(h.statuses(), QStringList({"Select a Core firmware file and USB serial device.", "No USB serial device found.",
                                            "Core firmware update ready.", "Select a USB firmware file and USB MIDI device."}));
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
        QCOMPARE(h.log, QStringList({"status:Done.", "alert:first alert", "status:Failed.", "alert:from a worker", "status:Done."}));
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
