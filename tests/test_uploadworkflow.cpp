// Uploads from start to end with the window up, on real files and folders:
// Upload, then the statuses, alerts and busy flag the user sees. Every way
// an upload can fail must end in the right alert and a usable window, with
// nothing left behind.
#include "support/drivefolder.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/updaterharness.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"

#include <QApplication>
#include <QProcess>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace testfiles;

namespace {

const auto usb = FirmwareTarget::usbFirmware, core = FirmwareTarget::coreFirmware;

QStringList refused(const QString &alert)
{
    return {"alert:" + alert};
}

QStringList failed(const QString &reason, bool commandSent = true)
{
    QStringList log{"busy:true", "status:Uploading USB firmware…"};
    if (commandSent)
        log << "status:Waiting for USB firmware drive…";
    return log << "busy:false" << "alert:USB firmware update failed.\n\n" + reason << "status:Failed.";
}

// The file a row names: firmware, or something a firmware name can stand
// for that is no firmware file.
bool makeFile(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    if (name.startsWith("missing"))
        return true;
    if (name.startsWith("pipe."))
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (name.startsWith("zero."))
        return QFile::link("/dev/zero", path);
    if (name.startsWith("folder.") || name.startsWith("gone."))
        return QDir().mkdir(path);
    if (name.startsWith("socket.")) { // bound, then closed: the socket file stays
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        ::close(fd);
        return bound;
    }
    if (name.endsWith(".hex"))
        writeFile(path, toIntelHex("\x0c\x94"));
    else if (name == "text.uf2")
        writeFile(path, "just text\n");
    else if (name == "samd21.uf2")
        writeFile(path, uf2image::image(4, uf2image::familySamd21));
    else if (name == "cut.uf2") // a download that stopped after 5 of 8 blocks
        writeFile(path, uf2image::image(8).left(5 * 512));
    else if (name == "rp2350.uf2")
        writeFile(path, uf2image::image(8, 0xe48bff59));
    else if (name == "big.uf2") // well-formed, but larger than any device's flash
        writeFile(path, uf2image::image(33 * 1024 * 2));
    else
        writeFile(path, uf2image::image(512));
    return true;
}

// A tmpfs mounted for the test, when this machine lets the test mount.
struct SmallDrive {
    SmallDrive(const QString &where, const QString &options) : path(where)
    {
        QDir().mkpath(where);
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", where}) == 0;
    }
    ~SmallDrive()
    {
        if (mounted)
            QProcess::execute("umount", {"-l", path});
    }
    QString path;
    bool mounted = false;
};

} // namespace

class TestUploadWorkflow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void usbUploads_data()
    {
        QTest::addColumn<QString>("file"); // a name in a temp dir, or blanks
        QTest::addColumn<FirmwareTarget>("target");
        QTest::addColumn<QStringList>("midi");
        QTest::addColumn<QStringList>("serial");
        // The device: its drive shows up on the command and leaves once whole ("link"), or it "stays";
        // "ready": the drive is there before Upload, the question answered Copy ("ready, cancel": Cancel);
        // "other": another board's drive is there before; "mute", "plain", "leaves" or tmpfs options.
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("log");
        auto row = [](const char *name, const QString &file, const QStringList &log, FirmwareTarget target = usb,
                      const QString &device = "link", const QStringList &midi = {"VELTA 2"},
                      const QStringList &serial = {"/dev/ttyACM0"}) {
            QTest::newRow(name) << file << target << midi << serial << device << log;
        };
        const QString notUf2 = "The selected file is not a valid UF2 firmware image.";
        const QString wrongForUsb = "The selected file must be a .uf2 file for USB Firmware (.uf2).";
        const QString unwritten = "Could not write the firmware to the VELTA.";
        // The path keeps its line break and the extension is in capitals: both accepted.
        row("done", "velta usb 2.1.UF2\n", UpdaterHarness::usbSuccessLog, usb, "link", {"Synth", "VELTA 2 MIDI 1"});
        row("blank path", " \n\t", refused("Please choose a firmware file first."));
        row("missing file", "missing.uf2", refused("The selected firmware file does not exist."));
        row("missing file, no device", "missing.hex", refused("The selected firmware file does not exist."), core, "link",
            {"VELTA 2"}, {});
        row("hex for USB", "fw.hex", refused(wrongForUsb));
        row("uf2 for Core", "fw.uf2", refused("The selected file must be a .hex file for Core Firmware (.hex)."), core);
        row("no extension", "firmware", refused(wrongForUsb));
        row("not UF2 inside", "text.uf2", refused(notUf2));
        row("cut download", "cut.uf2", refused(notUf2));
        row("UF2 for another chip", "samd21.uf2", refused(notUf2));
        for (const char *name : {"pipe.uf2", "zero.uf2", "socket.uf2", "big.uf2"})
            row(name, name, refused(notUf2));
        for (const char *name : {"pipe.hex", "zero.hex"})
            row(name, name, refused("The selected file is not a valid Intel HEX firmware image."), core);
        row("no MIDI device", "fw.uf2", refused("No USB MIDI device is selected."), usb, "link", {});
        // A VELTA left in its boot loader: no MIDI port, its drive connected.
        row("back from the boot loader", "fw.uf2", QStringList{"question:DRIVE"} + UpdaterHarness::usbSuccessLog, usb,
            "ready", {});
        row("back from the boot loader: cancelled", "fw.uf2",
            {"question:DRIVE", "alert:No USB MIDI device is selected."}, usb, "ready, cancel", {});
        row("another board's drive there before", "fw.uf2", UpdaterHarness::usbSuccessLog, usb, "other");
        QStringList staying = failed("The VELTA did not restart after the firmware was copied: its boot loader did not "
                                     "take it.");
        staying.insert(3, "status:Finishing…");
        row("boot loader never takes it", "fw.uf2", staying, usb, "stays");
        // The drive says it is an RP2040.
        row("image for the other chip", "rp2350.uf2", failed(notUf2));
        row("blank MIDI name", "fw.uf2", refused("No USB MIDI device is selected."), usb, "link", {" \t"});
        row("no serial device", "fw.hex", refused("No USB serial device is selected."), core, "link", {"VELTA 2"}, {});
        row("blanks around the device name", "fw.uf2",
            failed("Could not find the selected MIDI destination: 'VELTA 2'.", false), usb, "link", {" VELTA 2 "});
        row("command never sent", "fw.uf2", failed("Could not send the USB firmware update command on 'VELTA 2'.", false),
            usb, "mute");
        // A busy sequencer may take more than a second.
        row("command sent after 1.5 s", "fw.uf2", UpdaterHarness::usbSuccessLog, usb, "slow",
            {"Synth", "VELTA 2 MIDI 1"});
        // It passes the check, which can't read it, and fails at the copy.
        row("folder named like firmware", "folder.uf2", failed("Could not read the selected firmware file."));
        row("source gone before the copy", "gone.uf2", failed("Source firmware file was not found."));
        // No drive is mounted on a folder of the drive's name.
        row("drive never appears", "fw.uf2", failed("The USB firmware drive did not appear."), usb, "plain");
        // Found at once; gone during the pause before the copy.
        row("drive gone before the copy", "fw.uf2", failed(unwritten), usb, "leaves");
        row("full drive", "fw.uf2", failed(unwritten), usb, "size=64k");
        row("read-only drive", "fw.uf2", failed(unwritten), usb, "ro,size=1m");
    }
    void usbUploads()
    {
        QFETCH(QString, file);
        QFETCH(FirmwareTarget, target);
        QFETCH(QStringList, midi);
        QFETCH(QStringList, serial);
        QFETCH(QString, device);
        QFETCH(QStringList, log);
        QTemporaryDir dir;
        const QString made = dir.filePath(file.trimmed()), path = file.trimmed().isEmpty() ? file : dir.filePath(file);
        QVERIFY(file.trimmed().isEmpty() || makeFile(made));
        UpdaterHarness h(midi, serial, 1.2);
        h.scriptedMidi->completeSends = device != "mute" && device != "slow";
        h.question->answer = device == "ready";
        const QString drivePath = h.volumes.filePath("RPI-RP2");
        std::optional<DriveFolder> linked;
        std::optional<SmallDrive> mounted, other;
        if (device.contains("size=") || device == "other") {
            // Another board's drive, there before the command; or only a probe.
            other.emplace(h.volumes.filePath("RPI-RP2 other"), "size=1m");
            if (!other->mounted)
                QSKIP("this machine does not let the test mount a tmpfs");
            writeFile(other->path + "/INFO_UF2.TXT", "Board-ID: RPI-RP2\n");
        }
        if (device == "plain") {
            QVERIFY(QDir().mkdir(drivePath));
        } else if (device.contains("size=")) {
            other.reset();
            QDir().mkpath(drivePath);
            h.scriptedMidi->onSend = [&] { mounted.emplace(drivePath, device); };
        } else if (device != "plain") {
            linked.emplace(h.volumes.path(), "RPI-RP2", device.startsWith("ready"));
            if (device != "stays")
                linked->restartOnceWhole();
            h.scriptedMidi->onSend = [&] { linked->plug(); };
        }
        h->setSelectedTarget(target);
        h->setFirmwarePath(path);
        ShownWindow w(h);
        h.settle();
        const QString status = h->statusText();
        const auto chosen = std::find_if(h->availableDestinations().begin(), h->availableDestinations().end(),
                                         [&](const auto &d) { return d.displayName == h->selectedMIDIPortName(); });
        const quint32 endpoint = chosen == h->availableDestinations().end() ? 0 : chosen->endpoint;
        if (device.startsWith("ready"))
            QCOMPARE(status, "A UF2 boot drive is connected: choose a .uf2 file and press Upload to copy it onto the drive.");
        h.log.clear();
        log.replaceInStrings("DRIVE", drivePath);
        // Whatever is written replaces an older, larger image.
        const QString heldAt = (linked ? linked->storage() : drivePath) + "/" + QFileInfo(made).fileName();
        const bool written = log.contains("status:Finishing…");
        if (linked)
            writeFile(heldAt, QByteArray(600000, 'o'));

        // Were the check to block on a FIFO, a writer would come after 3 s;
        // the run itself never hangs.
        std::atomic<bool> returned = false, rescued = false;
        std::thread rescuer([&] {
            for (int i = 0; i < 300 && !returned; ++i)
                std::this_thread::sleep_for(10ms);
            if (!returned) {
                rescued = true;
                ::close(::open(QFile::encodeName(made).constData(), O_WRONLY | O_NONBLOCK));
            }
        });
        int listChangesWhileBusy = 0;
        for (auto changed : {&FirmwareUpdater::midiPortNamesChanged, &FirmwareUpdater::selectedMIDIPortNameChanged,
                             &FirmwareUpdater::serialPortsChanged})
            connect(h.updater.get(), changed, this, [&] { listChangesWhileBusy += h->isBusy(); });
        // The device list changes just before the click (the VELTA 2 under
        // another endpoint, a second unit beside it), and then again while
        // busy: the lists stay until the upload has ended.
        if (log.size() > 1) {
            h.scriptedMidi->destinations = {{5, "VELTA 2", {}}, {6, "Keys", {}}};
            h.serial->notify();
            h.settle();
        }
        h->startUpload();
        returned = true;
        rescuer.join();
        QVERIFY(!rescued);
        // The device restarts under another endpoint, with a second unit
        // beside it: the lists stay until the upload has ended.
        h.scriptedMidi->destinations = {{5, "VELTA 2", {}}, {6, "Keys", {}}};
        if (log.contains("busy:true") && QTest::qWaitFor([&] { return h->isBusy(); }, 5000))
            h.serial->notify();
        if (file == "gone.uf2") // after the check, before the copy
            QDir().rmdir(made);
        if (device == "slow")
            QTimer::singleShot(1500, [&] {
                h.scriptedMidi->sent.value(0)->complete = true;
                linked->plug();
            });
        // What was checked is what is written.
        if (written)
            writeFile(made, randomBytes(2048));
        if (device == "leaves") {
            QVERIFY(QTest::qWaitFor([&] { return h->statusText() == "Waiting for USB firmware drive…"; }, 5000));
            QTimer::singleShot(300, [&] { linked->unplug(); });
        }
        QVERIFY(QTest::qWaitFor([&] { return h.log.size() >= log.size(); }, 10000));
        QVERIFY(h.waitUntilIdle(10000));
        const bool refusedOnly = !log.contains("busy:true");
        if (!refusedOnly) { // then they catch up, and the outcome stays on the status line
            QTRY_COMPARE_WITH_TIMEOUT(h->midiPortNames(), QStringList({"Keys", "VELTA 2"}), 2000);
            h.settle();
            QVERIFY(listChangesWhileBusy == 0 && h->selectedMIDIPortName() == "VELTA 2");
            QCOMPARE(h->availableDestinations().at(1).endpoint, 5u);
        }
        QCOMPARE(h.log, log);
        QCOMPARE(h.alerts->titles, QStringList({"VELTA 2 Updater"}));
        QVERIFY(w.controlsEnabled());
        QCOMPARE(h->firmwarePath(), path);
        if (refusedOnly) // nothing changed, nothing sent
            QVERIFY(h->statusText() == status && h.scriptedMidi->sent.isEmpty());
        // A full drive may keep what fitted.
        if (device != "size=64k" && device != "leaves")
            QCOMPARE(readFile(heldAt), written ? uf2image::image(512) : linked ? QByteArray(600000, 'o') : "<unreadable>");
        if (other) // never touched
            QCOMPARE(QDir(other->path).entryList(QDir::Files), QStringList({"INFO_UF2.TXT"}));
        if (written && !device.startsWith("ready")) {
            QCOMPARE(h.scriptedMidi->sent.size(), 1);
            const SysexRequest &sent = *h.scriptedMidi->sent.at(0);
            QCOMPARE(sent.destination, endpoint);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(sent.data.data()), qsizetype(sent.data.size())),
                     QByteArray::fromHex("F07D564C3256454C54413201F7"));
        }
    }

    void coreUploads_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<bool>("held");
        QTest::newRow("done") << QStringList() << false;
        // A serial monitor left open: named, nothing started; closed, the update runs.
        QTest::newRow("held by another program, then closed") << QStringList() << true;
        // The simulator closes the pty mid-write and its port goes away;
        // avrdude would then spin until its limit.
        QTest::newRow("cable pulled") << QStringList{"--close-after-pages", "8"} << false;
    }
    void coreUploads()
    {
        QFETCH(QStringList, simulator);
        QFETCH(bool, held);
        Stk500SimProcess sim(simulator);
        QTemporaryDir dir;
        const QByteArray image = randomBytes(16 * 1024);
        // A pulled cable is noticed long before the limit: avrdude is stopped once the port is gone.
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {sim.portPath()}, {},
                         AvrdudeRunner(AvrdudeRunner::defaultResourceDir(), 120s));
        h->setSelectedTarget(core);
        h->setFirmwarePath(writeFile(dir, "core.HEX", toIntelHex(image)));
        ShownWindow w(h);
        h.settle();
        QVERIFY(sim.isRunning() && h->selectedSerialPortPath() == sim.portPath());
        h.log.clear();
        if (held) {
            QProcess monitor;
            monitor.start("cat", {sim.portPath()});
            const QDir fds(QString("/proc/%1/fd").arg(monitor.processId()));
            QVERIFY(QTest::qWaitFor([&] {
                const auto open = fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
                return std::any_of(open.begin(), open.end(), [&](const QFileInfo &fd) {
                    return fd.symLinkTarget() == QFile::symLinkTarget(sim.portPath());
                });
            }));
            const QString status = h->statusText();
            h->startUpload();
            h.settle();
            QCOMPARE(h.log, QStringList{"alert:The serial device " + sim.portPath() + " is in use by cat (process "
                                        + QString::number(monitor.processId()) + "). Close it, then press Upload again."});
            QVERIFY(h->statusText() == status && !h->isBusy() && processprobe::childrenNamed("avrdude") == 0);
            processprobe::stop(monitor);
            h.log.clear();
        }
        int ticks = 0; // the window keeps running while avrdude works
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(100);
        h->startUpload();
        QVERIFY(h.waitUntilIdle(30000));
        QVERIFY(w.controlsEnabled() && processprobe::childrenNamed("avrdude") == 0);
        // avrdude's output goes to standard output after a success only.
        if (simulator.isEmpty()) {
            QCOMPARE(h.log, QStringList({"busy:true", "status:Preparing Core firmware update…", "status:Uploading Core firmware…",
                                         "alert:Core firmware upload complete.", "status:Done.", "busy:false"}));
            QVERIFY(ticks >= 5 && sim.flash(image.size()) == image && h.standardOutput.size() == 1);
            QVERIFY(h.standardOutput.at(0).contains("bytes of flash verified") && h.standardOutput.at(0).endsWith("\n"));
            return;
        }
        const QString alert = h.alertMessages().value(0);
        QVERIFY2(alert.startsWith("Core firmware update failed.\n\navrdude failed.\n\n")
                     && alert.endsWith("avrdude was stopped: the serial device " + sim.portPath() + " went away.\n"),
                 qPrintable(alert));
        QVERIFY(h->statusText() == "Failed." && h.log.last() == "busy:false" && h.standardOutput.isEmpty());
    }
};

QTEST_MAIN(TestUploadWorkflow)
#include "test_uploadworkflow.moc"
