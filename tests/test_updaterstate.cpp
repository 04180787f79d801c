// The updater's state: start, device lists and their picks, target change,
// and the deferred status setter everything else relies on.
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "main/systemplatform.h"

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
        const QString start = "Select a firmware target, file, and device.";
        QVERIFY(h->statusText() == start && h->selectedTarget() == FirmwareTarget::usbFirmware && !h->isBusy());
        // Registered, but no device is looked for until the first refresh.
        QVERIFY(h.scriptedMidi->clientName == "VeltaUpdater" && h->midiClient() == 7);
        QVERIFY(h->midiPortNames().isEmpty() && h->serialPorts().isEmpty() && h->availableDestinations().isEmpty());
        // Statuses are applied later, in posting order; alerts posted in
        // between, from any thread, take their turn.
        h->setStatus("Done.");
        QCOMPARE(h->statusText(), start);
        showAlert(h.alerts, "VELTA 2 Updater", "first alert");
        h->setStatus("Failed.");
        std::thread([&h] { showAlert(h.alerts, "VELTA 2 Updater", "from a worker"); }).join();
        h->setStatus("Done.");
        QVERIFY(h.alerts->messages.isEmpty());
        h.settle();
        QCOMPARE(h.log, QStringList({"status:Done.", "alert:first alert", "status:Failed.", "alert:from a worker", "status:Done."}));
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
        h.scriptedMidi->clientHandle = 0; // a failed registration changes nothing else
        UpdaterHarness unregistered(h.scriptedMidi, {});
        unregistered->refreshDevices();
        QVERIFY(unregistered->midiClient() == 0 && unregistered->midiPortNames().size() == 7);
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
            {"a unit named with blanks only", {"  "}, {}, "  ", "", "", ""}, // ready, though Upload refuses it
            {"everything back", {through, a}, {acm, usb}, a, acm, through, usb},
        };
        UpdaterHarness h({through}, {});
        h->refreshDevices();
        h.chooser->answer = "/home/me/fw.uf2";
        h->chooseFirmwareFile();
        h.serial->notify(); // nothing changed: no refresh, and the status stays
        QTest::qWait(2 * int(FirmwareUpdater::deviceSettleTime.count()));
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
        // A target change: the file cleared, the hint, then a refresh's readiness text.
        h.log.clear();
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->resetForTargetChange();
        h->refreshDevices();
        h.serial->paths.clear();
        h->refreshDevices();
        h->setSelectedTarget(FirmwareTarget::usbFirmware);
        h->resetForTargetChange();
        h.settle();
        QVERIFY(h->firmwarePath().isEmpty());
        QCOMPARE(h.statuses(), QStringList({"Select a Core firmware file and USB serial device.", "Core firmware update ready.",
                                            "No USB serial device found.", "Select a USB firmware file and USB MIDI device."}));
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
        auto updater = FirmwareUpdater::create(systemPlatform());
        updater->refreshDevices();
        UpdaterHarness::settle();
        std::fflush(stderr);
        ::dup2(savedStderr, 2);
        ::close(savedStderr);
        QVERIFY(noise.seek(0));
        QCOMPARE(noise.readAll(), QByteArray());
        QVERIFY(updater->statusText() == "No USB MIDI device found." && updater->midiPortNames().isEmpty());
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
