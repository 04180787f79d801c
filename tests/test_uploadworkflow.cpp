// Upload from start to end, driven the way the window drives it: refresh,
// choose, startUpload(), then watch statuses, alerts and the busy flag.
#include "support/intelhex.h"
#include "support/jackserver.h"
#include "support/simdevice.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "usb/jackmidiservice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace testfiles;

namespace {

const QString title = QStringLiteral("VELTA 2 Updater");

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

        UpdaterHarness h(midi, serial);
        h->setSelectedTarget(target);
        h->refreshDevices();
        const QString path = file.trimmed().isEmpty() ? file : dir.filePath(file);
        h->setFirmwarePath(path);
        h.settle();
        const QString status = h->statusText();
        h.log.clear();

        h->startUpload();
        h.settle();
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
        QVERIFY(QDir(h.volumes.path()).mkdir("RPI-RP2"));
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

    void usbUpdateOnTheSimulatedDevice()
    {
        JackServer server;
        QVERIFY2(server.start(), qPrintable(server.log()));
        QTemporaryDir volumes;
        SimDevice device;
        QVERIFY2(device.start({"--server", server.name(), "--volumes", volumes.path()}), qPrintable(device.log()));

        QTemporaryDir dir;
        const QByteArray image = uf2image::image(300);
        const QString fw = writeFile(dir, "velta usb 2.1.uf2", image);
        UpdaterHarness h(std::make_shared<JackMidiService>(server.name()), {}, {volumes.path()});
        h->refreshDevices();
        QVERIFY2(h->selectedMIDIPortName().startsWith("VELTA 2"), qPrintable(h->selectedMIDIPortName()));
        h->setFirmwarePath(fw);
        h.settle();
        h.log.clear();

        h->startUpload();
        QVERIFY(h.waitUntilIdle(40000));
        QCOMPARE(h.log, QStringList({"busy:true", "status:Uploading USB firmware…", "status:Waiting for USB firmware drive…",
                                     "status:Finishing…", "busy:false", "alert:USB firmware upload complete.",
                                     "status:Done."}));
        QCOMPARE(device.received(), QStringList({"F0 7D 56 4C 32 56 45 4C 54 41 32 01 F7"}));
        QCOMPARE(readFile(device.drive() + "/velta usb 2.1.uf2"), image);
        QVERIFY(device.waitFor([&] { return !device.written().isEmpty(); }, 5000));
        QCOMPARE(device.written(), QStringList({QStringLiteral("velta usb 2.1.uf2 %1").arg(image.size())}));
    }

    void usbDriveThatNeverAppears()
    {
        // The real limit, and the wait ending at a short injected one.
        QCOMPARE(UpdaterPlatform::defaultBootDriveTimeoutSeconds, 20.0);
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {}, 1.2);
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

    void coreUpdateOnTheWrongChip()
    {
        Stk500SimProcess sim({"--signature", "1e:95:0f"});
        QTemporaryDir dir;
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {sim.portPath()});
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->refreshDevices();
        h->setFirmwarePath(writeFile(dir, "core.hex", toIntelHex(randomBytes(512))));
        h.settle();
        h.log.clear();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000));
        QCOMPARE(h.statuses(), QStringList({"Preparing Core firmware update…", "Uploading Core firmware…", "Failed."}));
        QCOMPARE(h.alertMessages().size(), 1);
        const QString alert = h.alertMessages().at(0);
        QVERIFY(alert.startsWith("Core firmware update failed.\n\navrdude failed.\n\n"));
        QVERIFY2(alert.contains("expected signature for ATmega328 is 1E 95 14"), qPrintable(alert));
        QVERIFY(h.standardOutput.isEmpty());
        QCOMPARE(h.log.last(), QStringLiteral("busy:false"));
    }
};

QTEST_GUILESS_MAIN(TestUploadWorkflow)
#include "test_uploadworkflow.moc"
