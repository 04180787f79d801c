// The updater on the drivers users have: run inside the test VM
// (tests/vm/vmrun.sh), where Debian's own kernel sees the device as USB
// gadgets, in a desktop session (tests/vm/desktop.sh): udev, D-Bus, polkit
// and UDisks2. The platform is the system's; only alerts and standard output
// are recorded. This part runs as root and plays the device; the updates
// themselves run as the desktop user (test_desktopuser).
#include "main/systemplatform.h"
#include "support/desktopsession.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/simdevice.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "usb/alsamidiservice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>

using namespace testfiles;
using desktopsession::bootDriveMount;
using desktopsession::exchange;

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

const QString usbFileName = QStringLiteral("velta-usb-2026-01-02T10:30.uf2");

QString userId()
{
    const passwd *entry = getpwnam(desktopsession::user.toLocal8Bit().constData());
    return entry ? QString::number(entry->pw_uid) : QString();
}

// Runs one function of test_desktopuser as the desktop user; its output
// when it failed. What it reports with qInfo is passed on.
QString failureAsUser(const QString &function)
{
    QString output;
    const int code = desktopsession::runAsUser("test_desktopuser", {function}, 120000, &output);
    for (const QString &line : output.split('\n'))
        if (line.startsWith("QINFO"))
            qInfo("%s", qPrintable(line.section(' ', 3)));
    return code == 0 ? QString() : QStringLiteral("%1 as %2: exit %3\n%4").arg(function, desktopsession::user).arg(code).arg(output);
}

// The names of this process's threads.
QStringList threadNames()
{
    QStringList names;
    for (const QString &task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        names << QString::fromUtf8(readFile("/proc/self/task/" + task + "/comm")).trimmed();
    return names;
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
        if (!QFile::exists("/sys/kernel/config/usb_gadget") || !desktopsession::isUp())
            QFAIL("runs in the test VM's desktop session only: "
                  "bash tests/vm/vmrun.sh -- bash tests/vm/desktop.sh bin/test_realkernel");
        QVERIFY(QDir().mkpath(exchange));
        QFile::setPermissions(exchange, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                            | QFileDevice::ReadOther | QFileDevice::ExeOther);
    }

    void alsaSendsToARealUsbMidiPort()
    {
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi", "--never-drive"}), qPrintable(device.log()));
        const QStringList threadsBefore = threadNames();
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
        // The service's worker has ended with it. Another short-lived thread
        // of this process was seen once, under load: it gets a moment to end,
        // and the names say which it was should it stay.
        QVERIFY2(QTest::qWaitFor([&] { return threadNames().size() == threadsBefore.size(); }, 1000),
                 qPrintable(threadsBefore.join(',') + " -> " + threadNames().join(',')));
        QCOMPARE(subscribersOfTheDevice(), QStringList({"14:0"}));
    }

    void usbUpdateAsTheDesktopUser_data()
    {
        QTest::addColumn<QString>("mount");
        QTest::newRow("an automounting desktop") << "desktop";
        QTest::newRow("nothing mounts the drive") << "none";
    }

    void usbUpdateAsTheDesktopUser()
    {
        // A name FAT can't store, and an image of many blocks.
        QFETCH(QString, mount);
        const QByteArray image = uf2image::image(200);
        writeFile(exchange + '/' + usbFileName, image);
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi", "--user", desktopsession::user, "--mount", mount}), qPrintable(device.log()));
        const QString failure = failureAsUser("usbUpdate");
        QVERIFY2(failure.isEmpty(), qPrintable(failure + device.log()));
        QVERIFY(device.waitFor([&] { return !device.received().isEmpty(); }, 5000));
        QCOMPARE(device.received(), QStringList({updateCommandHex}));

        // UDisks2 mounted it for the user, at the desktop's place with the
        // desktop's options, whether the stand-in for the desktop or the
        // updater asked.
        const QStringList mounted = bootDriveMount();
        QCOMPARE(mounted.value(1), QStringLiteral("/media/velta/RPI-RP2"));
        QVERIFY2(mounted.value(3).contains("uid=" + userId() + ","), qPrintable(mounted.join(' ')));
        qInfo("mounted: %s", qPrintable(mounted.join(' ')));
        if (mount == "desktop") {
            QVERIFY(device.waitFor([&] { return !device.drive().isEmpty(); }, 5000));
            QCOMPARE(device.drive(), mounted.value(1));
        }

        // Gone, the drive's own file system holds the file byte for byte,
        // and UDisks2 has cleaned up after it.
        const QString fat = device.image();
        device.stop();
        QProcess mcopy;
        mcopy.start("mcopy", {"-n", "-i", fat, "::velta-usb-2026-01-02T10_30.uf2", "-"});
        QVERIFY(mcopy.waitForFinished(20000));
        QCOMPARE(mcopy.readAllStandardOutput(), image);
        QVERIFY2(QTest::qWaitFor([] { return bootDriveMount().isEmpty(); }, 10000), qPrintable(bootDriveMount().join(' ')));
    }

    void theDeviceComesBackReadyForAnotherUpdate()
    {
        // As the real device, the rig's restarts with its new firmware once
        // the image is on the drive. The list follows it as it re-enumerated,
        // the outcome stays shown, and the next update needs no Refresh.
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi", "--restart"}), qPrintable(device.log()));
        UpdaterHarness h(systemPlatform());
        h->refreshDevices();
        h.settle();
        QCOMPARE(h->selectedMIDIPortName(), port);
        auto system = AlsaMidiService::create();
        QVERIFY(system);
        QTemporaryDir dir;
        for (int round = 1; round <= 2; ++round) {
            const QByteArray image = uf2image::image(60 * round);
            const QString name = QStringLiteral("velta-usb-%1.uf2").arg(round);
            h->setFirmwarePath(writeFile(dir, name, image));
            h.settle();
            h.log.clear();
            h->startUpload();
            QVERIFY(h.waitUntilIdle(60000));
            QCOMPARE(h.log, UpdaterHarness::usbSuccessLog);
            QCOMPARE(device.received(), QStringList(round, updateCommandHex));

            QVERIFY2(QTest::qWaitFor([&] {
                         const std::uint32_t now = deviceEndpoint(*system);
                         return !QFileInfo::exists(device.drive()) && now != 0
                                && std::any_of(h->availableDestinations().begin(), h->availableDestinations().end(),
                                               [&](const MIDIDeviceChoice &choice) {
                                                   return choice.displayName == port && choice.endpoint == now;
                                               });
                     }, 20000),
                     qPrintable(h->midiPortNames().join(", ") + device.log()));
            QTest::qWait(int(FirmwareUpdater::deviceSettleTime.count()) + 200);
            h.settle();
            QCOMPARE(h->selectedMIDIPortName(), port);
            QCOMPARE(h->statusText(), QStringLiteral("Done."));

            QProcess mcopy;
            mcopy.start("mcopy", {"-n", "-i", device.image(), "::" + name, "-"});
            QVERIFY(mcopy.waitForFinished(20000));
            QCOMPARE(mcopy.readAllStandardOutput(), image);
        }
    }

    void usbDeviceUnpluggedBeforeUpload()
    {
        // Unplugged between Refresh and Upload: the send fails within its 2 s.
        QTemporaryDir dir;
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi"}), qPrintable(device.log()));
        UpdaterHarness h(systemPlatform());
        h->refreshDevices();
        h->setFirmwarePath(writeFile(dir, "fw.uf2", uf2image::image(8)));
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

    void coreAsTheDesktopUser()
    {
        QTemporaryDir dir;
        const QString flash = dir.filePath("flash.bin");
        const QByteArray image = randomBytes(32 * 1024);
        writeFile(exchange + "/core.hex", toIntelHex(image));
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"serial", "--flash-out", flash}), qPrintable(device.log()));
        // udev gave the port to dialout, and the user is not in it: refused
        // before anything starts, so the device hears nothing.
        QCOMPARE(QFileInfo("/dev/ttyACM0").group(), QStringLiteral("dialout"));
        const QByteArray erased = readFile(flash);
        QString failure = failureAsUser("coreRefused");
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QCOMPARE(readFile(flash), erased);

        // In dialout from the next login on, the update goes through.
        QCOMPARE(QProcess::execute("usermod", {"-aG", "dialout", desktopsession::user}), 0);
        failure = failureAsUser("coreUpdate");
        run("gpasswd", {"-d", desktopsession::user, "dialout"});
        QVERIFY2(failure.isEmpty(), qPrintable(failure + device.log()));
        QCOMPARE(readFile(flash).left(image.size()), image);
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
        // The port went during the update: the list catches up after it,
        // and the outcome stays.
        QTest::qWait(2000);
        QVERIFY(h->serialPorts().isEmpty());
        QCOMPARE(h->statusText(), QStringLiteral("Failed."));
    }

    // Last: it takes udisksd away for good.
    void usbWithoutDiskServiceAsTheDesktopUser()
    {
        // As on a machine without udisks2: nothing mounts the drive, and
        // D-Bus can't start the service on demand (desktop.sh saw to that).
        const QByteArray pid = readFile("/run/velta-desktop/udisksd.pid").trimmed();
        QVERIFY(!pid.isEmpty() && ::kill(pid.toInt(), SIGTERM) == 0);
        // It was started by desktop.sh, which became this process.
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(pid.toInt(), nullptr, WNOHANG) == pid.toInt(); }, 10000));

        writeFile(exchange + '/' + usbFileName, uf2image::image(8));
        SimDevice device("velta-gadgetdevice");
        QVERIFY2(device.start({"midi", "--user", desktopsession::user, "--mount", "none"}), qPrintable(device.log()));
        const QString failure = failureAsUser("usbWithoutDiskService");
        QVERIFY2(failure.isEmpty(), qPrintable(failure + device.log()));
        QVERIFY(device.waitFor([&] { return !device.image().isEmpty(); }, 5000));
        QCOMPARE(device.received(), QStringList({updateCommandHex}));
        QVERIFY(bootDriveMount().isEmpty());
        QProcess mdir;
        mdir.start("mdir", {"-b", "-i", device.image(), "::"});
        QVERIFY(mdir.waitForFinished(20000));
        QCOMPARE(mdir.readAllStandardOutput(), QByteArray());
        QCOMPARE(QDir("/media/velta").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestRealKernel)
#include "test_realkernel.moc"
