// Upload from start to end, driven the way the window drives it: refresh,
// choose, startUpload(), then watch statuses, alerts and the busy flag.
#include "support/drivefolder.h"
#include "support/intelhex.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace testfiles;

namespace {

const QString title = QStringLiteral("VELTA 2 Updater");

// Things a firmware name can stand for that are no firmware file, made in
// `dir` under `name`; the device node only where this process may make one.
void makeHostileFile(const QTemporaryDir &dir, const QString &name)
{
    const QByteArray path = QFile::encodeName(dir.filePath(name));
    if (name.startsWith("pipe.")) {
        QVERIFY(::mkfifo(path.constData(), 0600) == 0);
    } else if (name == "socket.uf2") {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        ::close(fd);
    } else if (name.startsWith("zero.")) {
        QVERIFY(QFile::link("/dev/zero", dir.filePath(name)));
    } else if (name == "device.uf2") {
        ::mknod(path.constData(), S_IFCHR | 0600, makedev(1, 3));
    } else if (name == "big.uf2") {
        // A well-formed image, but larger than any device's flash.
        writeFile(dir, name, uf2image::image(33 * 1024 * 2));
    }
}

} // namespace

class TestUploadWorkflow : public QObject {
    Q_OBJECT
private slots:
    void refusalsChangeNothing_data()
    {
        QTest::addColumn<QString>("file"); // a name in the temp dir, or a literal path
        QTest::addColumn<FirmwareTarget>("target");
        QTest::addColumn<QStringList>("midi");
        QTest::addColumn<QStringList>("serial");
        QTest::addColumn<QString>("alert");
        const QStringList velta{"VELTA 2"};
        const QStringList port{"/dev/ttyACM0"};
        const auto usb = FirmwareTarget::usbFirmware;
        const auto core = FirmwareTarget::coreFirmware;
        QTest::newRow("blank path") << " \n\t" << usb << velta << port << "Please choose a firmware file first.";
        QTest::newRow("missing file") << "missing.uf2" << usb << velta << port << "The selected firmware file does not exist.";
        QTest::newRow("missing file and no device") << "missing.hex" << core << velta << QStringList()
                                                    << "The selected firmware file does not exist.";
        QTest::newRow("hex for USB") << "fw.hex" << usb << velta << port
                                     << "The selected file must be a .uf2 file for USB Firmware (.uf2).";
        QTest::newRow("uf2 for Core") << "fw.uf2" << core << velta << port
                                      << "The selected file must be a .hex file for Core Firmware (.hex).";
        QTest::newRow("no extension") << "firmware" << usb << velta << port
                                      << "The selected file must be a .uf2 file for USB Firmware (.uf2).";
        QTest::newRow("not UF2 inside") << "text.uf2" << usb << velta << port
                                        << "The selected file is not a valid UF2 firmware image.";
        QTest::newRow("UF2 for another chip") << "samd21.uf2" << usb << velta << port
                                              << "The selected file is not a valid UF2 firmware image.";
        for (const char *name : {"pipe.uf2", "socket.uf2", "zero.uf2", "device.uf2", "big.uf2"})
            QTest::newRow(name) << name << usb << velta << port << "The selected file is not a valid UF2 firmware image.";
        for (const char *name : {"pipe.hex", "zero.hex"})
            QTest::newRow(name) << name << core << velta << port << "The selected file is not a valid Intel HEX firmware image.";
        QTest::newRow("no MIDI device") << "fw.uf2" << usb << QStringList() << port << "No USB MIDI device is selected.";
        QTest::newRow("blank MIDI name") << "fw.uf2" << usb << QStringList({" \t"}) << port
                                         << "No USB MIDI device is selected.";
        QTest::newRow("no serial device") << "fw.hex" << core << velta << QStringList()
                                          << "No USB serial device is selected.";
    }
    void refusalsChangeNothing()
    {
        QFETCH(QString, file);
        QFETCH(FirmwareTarget, target);
        QFETCH(QStringList, midi);
        QFETCH(QStringList, serial);
        QFETCH(QString, alert);
        QTemporaryDir dir;
        writeFile(dir, "fw.uf2", uf2image::image(2));
        writeFile(dir, "fw.hex", toIntelHex("\x0c\x94"));
        writeFile(dir, "firmware", uf2image::image(2));
        writeFile(dir, "text.uf2", "just text\n");
        writeFile(dir, "samd21.uf2", uf2image::image(4, uf2image::familySamd21));
        makeHostileFile(dir, file);
        if (file == "device.uf2" && !QFileInfo::exists(dir.filePath(file)))
            QSKIP("this machine does not let the test make a device node");

        UpdaterHarness h(midi, serial);
        h->setSelectedTarget(target);
        h->refreshDevices();
        const QString path = file.trimmed().isEmpty() ? file : dir.filePath(file);
        h->setFirmwarePath(path);
        h.settle();
        const QString status = h->statusText();
        h.log.clear();

        // Were the check to block on the FIFO, a writer would come after 3 s
        // and the time below would tell; the run itself never hangs.
        std::atomic<bool> returned = false;
        std::thread rescuer([&] {
            for (int i = 0; i < 300 && !returned; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!returned)
                ::close(::open(QFile::encodeName(dir.filePath(file)).constData(), O_WRONLY | O_NONBLOCK));
        });
        QElapsedTimer clock;
        clock.start();
        h->startUpload();
        const qint64 took = clock.elapsed();
        returned = true;
        rescuer.join();
        h.settle();
        QVERIFY2(took < 1000, qPrintable(QStringLiteral("startUpload took %1 ms").arg(took)));
        QCOMPARE(h.log, QStringList({"alert:" + alert}));
        QCOMPARE(h.alerts->titles, QStringList({title}));
        QCOMPARE(h->statusText(), status);
        QCOMPARE(h->firmwarePath(), path);
        QVERIFY(!h->isBusy());
        QVERIFY(h.scriptedMidi->sent.isEmpty());
    }

    void commandThatCannotBeSent()
    {
        // The path keeps its line break and the extension is in capitals:
        // both accepted. The device never confirms the send.
        QTemporaryDir dir;
        const QString fw = writeFile(dir, "FW.UF2", uf2image::image(4));
        UpdaterHarness h({"VELTA 2"}, {});
        h.scriptedMidi->completeSends = false;
        h->refreshDevices();
        h->setFirmwarePath(fw + "\n");
        h.settle();
        h.log.clear();

        QElapsedTimer clock;
        clock.start();
        h->startUpload();
        QVERIFY(h->isBusy());
        QVERIFY(h.waitUntilIdle(10000));
        QVERIFY(clock.elapsed() >= 2000 && clock.elapsed() < 5000);
        QCOMPARE(h.log, QStringList({"busy:true", "status:Uploading USB firmware…", "busy:false",
                                     "alert:USB firmware update failed.\n\nCould not send the USB firmware update command on 'VELTA 2'.",
                                     "status:Failed."}));
        QCOMPARE(h.scriptedMidi->sent.size(), 1);
        QCOMPARE(h->firmwarePath(), fw + "\n");
    }

    void blankAroundTheDeviceNameIsNotFound()
    {
        QTemporaryDir dir;
        UpdaterHarness h({" VELTA 2 "}, {});
        h->refreshDevices();
        h->setFirmwarePath(writeFile(dir, "fw.uf2", uf2image::image(1)));
        h.settle();
        h.log.clear();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(5000));
        QCOMPARE(h.statuses(), QStringList({"Uploading USB firmware…", "Failed."}));
        QCOMPARE(h.alertMessages(),
                 QStringList({"USB firmware update failed.\n\nCould not find the selected MIDI destination: 'VELTA 2'."}));
        QVERIFY(h.scriptedMidi->sent.isEmpty());
    }

    void aFolderNamedLikeFirmwareFailsAtTheCopy()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("folder.uf2"));
        UpdaterHarness h({"VELTA 2"}, {});
        DriveFolder drive(h.volumes.path());
        h->refreshDevices();
        h->setFirmwarePath(dir.filePath("folder.uf2"));
        h.settle();
        h.log.clear();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(10000));
        QCOMPARE(h.statuses(), QStringList({"Uploading USB firmware…", "Waiting for USB firmware drive…", "Failed."}));
        QCOMPARE(h.alertMessages(),
                 QStringList({"USB firmware update failed.\n\nCould not read the selected firmware file."}));
        QVERIFY(QDir(h.volumes.filePath("RPI-RP2")).isEmpty());
    }

    void theOutcomeOutlivesNoticesDuringTheUpload_data()
    {
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("lastStep"); // 2 s long on both paths
        QTest::addColumn<QString>("outcome");
        QTest::newRow("done") << true << "Finishing…" << "Done.";
        QTest::newRow("failed") << false << "Uploading USB firmware…" << "Failed.";
    }
    void theOutcomeOutlivesNoticesDuringTheUpload()
    {
        // The device leaves as the command goes out and comes back under
        // another endpoint, with a second unit beside it, in the last 100 ms
        // of the upload. Nothing moves until it has ended; then the lists
        // catch up, and the outcome stays on the status line.
        QFETCH(bool, sent);
        QFETCH(QString, lastStep);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {});
        h.scriptedMidi->completeSends = sent;
        DriveFolder drive(h.volumes.path());
        h->refreshDevices();
        h->setFirmwarePath(writeFile(dir, "fw.uf2", uf2image::image(4)));
        h.settle();

        int listChangesWhileBusy = 0;
        for (auto changed : {&FirmwareUpdater::midiPortNamesChanged, &FirmwareUpdater::selectedMIDIPortNameChanged,
                             &FirmwareUpdater::serialPortsChanged}) {
            connect(h.updater.get(), changed, this, [&] { listChangesWhileBusy += h->isBusy(); });
        }
        bool lateNoticeWhileBusy = false;
        QTimer late;
        late.setSingleShot(true);
        late.setInterval(1900);
        connect(h.updater.get(), &FirmwareUpdater::statusTextChanged, &late, [&] {
            if (h->statusText() == lastStep)
                late.start();
        });
        connect(&late, &QTimer::timeout, this, [&] {
            h.scriptedMidi->destinations = {{5, QString("VELTA 2"), std::nullopt}, {6, QString("Keys"), std::nullopt}};
            lateNoticeWhileBusy = h->isBusy();
            h.serial->notify();
        });
        h->startUpload();
        h.scriptedMidi->destinations.clear();
        h.serial->notify();
        QVERIFY(h.waitUntilIdle(10000));
        QVERIFY(lateNoticeWhileBusy);
        QTRY_COMPARE_WITH_TIMEOUT(h->midiPortNames(), QStringList({"Keys", "VELTA 2"}), 2000);
        h.settle();
        QCOMPARE(listChangesWhileBusy, 0);
        QCOMPARE(h->statusText(), outcome);
        QCOMPARE(h.statuses().last(), outcome);
        QCOMPARE(h->selectedMIDIPortName(), QStringLiteral("VELTA 2"));
        QCOMPARE(h->availableDestinations().at(1).endpoint, 5u);
    }

    void usbUpdateFromStartToEnd()
    {
        QTemporaryDir dir;
        const QByteArray image = uf2image::image(300);
        const QString fw = writeFile(dir, "velta usb 2.1.uf2", image);
        UpdaterHarness h({"Synth", "VELTA 2 MIDI 1"}, {});
        DriveFolder drive(h.volumes.path());
        h->refreshDevices();
        h->setFirmwarePath(fw);
        h.settle();
        h.log.clear();

        h->startUpload();
        QVERIFY(h.waitUntilIdle(40000));
        QCOMPARE(h.log, UpdaterHarness::usbSuccessLog);
        QCOMPARE(h.scriptedMidi->sent.size(), 1);
        const SysexRequest &sent = *h.scriptedMidi->sent.at(0);
        QCOMPARE(sent.destination, 2u);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(sent.data.data()), qsizetype(sent.data.size())),
                 QByteArray::fromHex("F07D564C3256454C54413201F7"));
        QCOMPARE(readFile(drive.path() + "/velta usb 2.1.uf2"), image);
    }

    void usbDriveThatNeverAppears()
    {
        // The real limit, and the wait ending at a short injected one.
        QCOMPARE(UpdaterPlatform::defaultBootDriveTimeoutSeconds, 20.0);
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {}, 1.2);
        // A folder of the drive's name, with no drive mounted on it, is no drive.
        QVERIFY(QDir(h.volumes.path()).mkdir("RPI-RP2"));
        h->refreshDevices();
        h->setFirmwarePath(writeFile(dir, "fw.uf2", uf2image::image(1)));
        h.settle();
        h.log.clear();
        QElapsedTimer clock;
        clock.start();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(40000));
        QVERIFY2(clock.elapsed() >= 1200 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(h.statuses(), QStringList({"Uploading USB firmware…", "Waiting for USB firmware drive…", "Failed."}));
        QCOMPARE(h.alertMessages(), QStringList({"USB firmware update failed.\n\nThe USB firmware drive did not appear."}));
        QVERIFY(QDir(h.volumes.filePath("RPI-RP2")).isEmpty());
    }

    void whatWasCheckedIsWhatIsWritten()
    {
        // The file is swapped for junk after Upload, before the copy.
        QTemporaryDir dir;
        const QByteArray image = uf2image::image(16);
        const QString fw = writeFile(dir, "fw.uf2", image);
        UpdaterHarness h({"VELTA 2"}, {});
        DriveFolder drive(h.volumes.path());
        h->refreshDevices();
        h->setFirmwarePath(fw);
        h.settle();
        h->startUpload();
        QVERIFY(QTest::qWaitFor([&] { return h->statusText() == "Waiting for USB firmware drive…"; }, 5000));
        writeFile(fw, randomBytes(2048));
        QVERIFY(h.waitUntilIdle(10000));
        QCOMPARE(readFile(drive.path() + "/fw.uf2"), image);
        QCOMPARE(h.alertMessages(), QStringList({"USB firmware upload complete."}));
    }

    void coreUpdateWithTheRealAvrdude()
    {
        Stk500SimProcess sim;
        QVERIFY(sim.isRunning());
        QTemporaryDir dir;
        const QByteArray image = randomBytes(16 * 1024);
        const QString fw = writeFile(dir, "core.HEX", toIntelHex(image));
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {sim.portPath()});
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->refreshDevices();
        QCOMPARE(h->selectedSerialPortPath(), sim.portPath());
        h->setFirmwarePath(fw);
        h.settle();
        h.log.clear();

        // The window keeps running while avrdude works.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(100);
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000));
        QCOMPARE(h.log, QStringList({"busy:true", "status:Preparing Core firmware update…", "status:Uploading Core firmware…",
                                     "alert:Core firmware upload complete.", "status:Done.", "busy:false"}));
        QVERIFY(ticks >= 5);
        QCOMPARE(sim.flash(image.size()), image);
        QCOMPARE(h.standardOutput.size(), 1);
        QVERIFY(h.standardOutput.at(0).contains("bytes of flash verified"));
        QVERIFY(h.standardOutput.at(0).endsWith("\n"));
    }

};

QTEST_GUILESS_MAIN(TestUploadWorkflow)
#include "test_uploadworkflow.moc"
