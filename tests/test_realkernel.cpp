// The updater on the drivers users have: run inside the test VM
// (tests/vm/vmrun.sh), where Debian's own kernel sees the device as USB
// gadgets. The platform is the system's: the ALSA sequencer, udev's serial
// ports and the desktop's volume folders; only alerts and standard output
// are recorded.
#include "main/systemplatform.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/simdevice.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "usb/alsamidiservice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace testfiles;

namespace {

const QString port = QStringLiteral("VELTA 2 MIDI 1");
const QString updateCommandHex = QStringLiteral("F0 7D 56 4C 32 56 45 4C 54 41 32 01 F7");

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000))
        process.kill();
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

void unplug()
{
    run(QCoreApplication::applicationDirPath() + "/velta-gadgetdevice", {"unplug"});
}

// "client:port" of everything subscribed to write to the device's MIDI port,
// as aconnect lists it.
QStringList subscribersOfTheDevice()
{
    const QString listing = run("aconnect", {"-l"});
    const qsizetype at = listing.indexOf("'" + port);
    if (at < 0)
        return {"<no device>"};
    const QString rest = listing.mid(at);
    const QRegularExpressionMatch from =
        QRegularExpression(R"(^\s*'[^\n]*\n(?:\s*Connecting To:[^\n]*\n)?\s*Connected From: ([^\n]*))").match(rest);
    if (!from.hasMatch())
        return {};
    QStringList subscribers = from.captured(1).split(", ");
    for (QString &s : subscribers)
        s = s.section('[', 0, 0).trimmed();
    return subscribers;
}

int threadCount()
{
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

std::uint32_t deviceEndpoint(MidiService &midi)
{
    for (int i = 0, n = midi.destinationCount(); i < n; ++i) {
        if (midi.stringProperty(midi.destination(i), MidiProperty::displayName) == port)
            return midi.destination(i);
    }
    return 0;
}

bool sendAndWait(MidiService &midi, std::uint32_t endpoint)
{
    auto request = std::make_shared<SysexRequest>();
    request->destination = endpoint;
    request->data = {0xF0, 0x7D, 0x01, 0x02, 0xF7};
    midi.sendSysex(request);
    return QTest::qWaitFor([&] { return request->complete.load(); }, 2000);
}

} // namespace

class TestRealKernel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!QFile::exists("/sys/kernel/config/usb_gadget"))
            QFAIL("runs in the test VM only: bash tests/vm/vmrun.sh -- bin/test_realkernel");
    }

    void alsaSendsToARealUsbMidiPort()
    {
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi", "--never-drive"}), qPrintable(device.log()));
        const int threadsBefore = threadCount();
        auto midi = AlsaMidiService::create();
        QVERIFY(midi);
        const std::uint32_t client = midi->createClient("VeltaUpdater");
        const std::uint32_t endpoint = deviceEndpoint(*midi);
        QVERIFY(endpoint != 0);
        QCOMPARE(midi->stringProperty(endpoint, MidiProperty::name), QStringLiteral("VELTA 2"));
        const QString ours = QString::number(client) + ":";

        // The port's output is open only for a subscriber: the send makes
        // one and takes it away again.
        QVERIFY(sendAndWait(*midi, endpoint));
        QVERIFY(!subscribersOfTheDevice().join(' ').contains(ours));
        // A subscription of ours left over, then another program's: the
        // send works beside either, leaves theirs and never one of ours.
        run("aconnect", {ours + "0", QString::number(AlsaMidiService::clientOf(endpoint)) + ":0"});
        QVERIFY(subscribersOfTheDevice().join(' ').contains(ours));
        QVERIFY(sendAndWait(*midi, endpoint));
        QVERIFY(!subscribersOfTheDevice().join(' ').contains(ours));
        run("aconnect", {"14:0", QString::number(AlsaMidiService::clientOf(endpoint)) + ":0"});
        QVERIFY(sendAndWait(*midi, endpoint));
        QCOMPARE(subscribersOfTheDevice(), QStringList({"14:0"}));
        QVERIFY(device.waitFor([&] { return device.received().size() == 3; }, 5000));
        QCOMPARE(device.received(), QStringList(3, "F0 7D 01 02 F7"));

        // Gone with a send in flight: nothing of it keeps running.
        auto request = std::make_shared<SysexRequest>();
        request->destination = endpoint;
        request->data = {0xF0, 0x7D, 0x03, 0xF7};
        midi->sendSysex(request);
        midi.reset();
        QCOMPARE(threadCount(), threadsBefore);
        QCOMPARE(subscribersOfTheDevice(), QStringList({"14:0"}));
    }

    void usbUpdateOnTheRealDrivers()
    {
        UpdaterHarness h(systemPlatform());
        h->refreshDevices();
        h.settle();
        QVERIFY(!h->midiPortNames().contains(port));

        // Plugged in: the list follows by itself, and prefers the device.
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi"}), qPrintable(device.log()));
        QVERIFY2(QTest::qWaitFor([&] { return h->midiPortNames().contains(port); }, 5000),
                 qPrintable(h->midiPortNames().join(", ")));
        h.settle();
        QCOMPARE(h->selectedMIDIPortName(), port);
        QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));

        // A name FAT can't store, and an image of many blocks.
        QTemporaryDir dir;
        const QByteArray image = uf2image::image(200);
        h->setFirmwarePath(writeFile(dir, "velta-usb-2026-01-02T10:30.uf2", image));
        h.settle();
        h.log.clear();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000));
        QCOMPARE(h.log, UpdaterHarness::usbSuccessLog);
        QCOMPARE(device.received(), QStringList({updateCommandHex}));
        QCOMPARE(device.drive(), QStringLiteral("/media/root/RPI-RP2"));

        // Unmounted, the drive's own file system holds the file byte for byte.
        const QString fat = device.image();
        device.stop();
        QProcess mcopy;
        mcopy.start("mcopy", {"-n", "-i", fat, "::velta-usb-2026-01-02T10_30.uf2", "-"});
        QVERIFY(mcopy.waitForFinished(20000));
        QCOMPARE(mcopy.readAllStandardOutput(), image);
    }

    void usbFailuresOnTheRealDrivers()
    {
        QTemporaryDir dir;
        const QString fw = writeFile(dir, "fw.uf2", uf2image::image(8));

        // Unplugged between Refresh and Upload: the send fails within its 2 s.
        {
            SimDevice device("velta-gadgetdevice");
            QVERIFY2(device.start({"midi"}), qPrintable(device.log()));
            UpdaterHarness h(systemPlatform());
            h->refreshDevices();
            h->setFirmwarePath(fw);
            h.settle();
            unplug();
            QElapsedTimer clock;
            clock.start();
            h->startUpload();
            QVERIFY(h.waitUntilIdle(20000));
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(h.alertMessages(),
                     QStringList({"USB firmware update failed.\n\nCould not send the USB firmware update command on '"
                                  + port + "'."}));
            QVERIFY(device.received().isEmpty());
        }
        // Never a drive: the wait ends at its limit (a short one here).
        {
            SimDevice device("velta-gadgetdevice");
            QVERIFY2(device.start({"midi", "--never-drive"}), qPrintable(device.log()));
            UpdaterPlatform platform = systemPlatform();
            platform.bootDriveTimeoutSeconds = 3.0;
            UpdaterHarness h(std::move(platform));
            h->refreshDevices();
            h->setFirmwarePath(fw);
            h.settle();
            h->startUpload();
            QVERIFY(h.waitUntilIdle(30000));
            QCOMPARE(device.received(), QStringList({updateCommandHex}));
            QCOMPARE(h.alertMessages(), QStringList({"USB firmware update failed.\n\nThe USB firmware drive did not appear."}));
        }
    }

    void coreUpdateOnTheRealDrivers()
    {
        QTemporaryDir dir;
        const QString flash = dir.filePath("flash.bin");
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"serial", "--flash-out", flash}), qPrintable(device.log()));
        UpdaterHarness h(systemPlatform());
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->refreshDevices();
        h.settle();
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(h->statusText(), QStringLiteral("Core firmware update ready."));

        const QByteArray image = randomBytes(32 * 1024);
        h->setFirmwarePath(writeFile(dir, "core.hex", toIntelHex(image)));
        h.settle();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(90000));
        QCOMPARE(h.alertMessages(), QStringList({"Core firmware upload complete."}));
        QCOMPARE(h.standardOutput.size(), 1);
        QVERIFY(h.standardOutput.at(0).contains("bytes of flash verified"));
        QCOMPARE(readFile(flash).left(image.size()), image);

        // Unplugged: udev's (here the kernel's) event empties the list.
        unplug();
        QVERIFY(QTest::qWaitFor([&] { return h->statusText() == "No USB serial device found."; }, 5000));
        QVERIFY(h->serialPorts().isEmpty());
    }

    void coreDeviceUnpluggedWhileWriting()
    {
        QTemporaryDir dir;
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"serial", "--unplug-after-pages", "20"}), qPrintable(device.log()));
        UpdaterHarness h(systemPlatform());
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->refreshDevices();
        h->setFirmwarePath(writeFile(dir, "core.hex", toIntelHex(randomBytes(16 * 1024))));
        h.settle();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000));
        const QString alert = h.alertMessages().value(0);
        QVERIFY2(alert.startsWith("Core firmware update failed.\n\navrdude failed.\n\n"), qPrintable(alert));
        QVERIFY2(alert.contains("Writing | "), qPrintable(alert));
        QVERIFY2(alert.endsWith("avrdude was stopped: the serial device /dev/ttyACM0 went away.\n"), qPrintable(alert));
        QCOMPARE(h->statusText(), QStringLiteral("Failed."));
        QCOMPARE(processprobe::childrenNamed("avrdude"), 0);
    }
};

QTEST_GUILESS_MAIN(TestRealKernel)
#include "test_realkernel.moc"
