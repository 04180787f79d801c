// The updater on Debian's own drivers, run as root in the test VM's desktop
// session (tests/vm/README.md), where this side plays the device with
// velta-gadgetdevice. The desktop user's updates run in this same program,
// started as that user with "as-user".
#include "main/systemplatform.h"
#include "support/desktopsession.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/simdevice.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "usb/alsamidiservice.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>

using namespace testfiles;

namespace {

const QString port = QStringLiteral("VELTA 2 MIDI 1");
const QString updateCommandHex = QStringLiteral("F0 7D 56 4C 32 56 45 4C 54 41 32 01 F7");
const QString flash = desktopsession::exchange + "/flash.bin";

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    processprobe::finishWithin(process, 20000);
    return process.readAllStandardOutput();
}

// Who writes to the device's port (the only one with subscribers).
QString subscribers()
{
    return QRegularExpression("Connected From: ([^\n]*)").match(QString::fromUtf8(run("aconnect", {"-l"}))).captured(1);
}

bool portPresent()
{
    return readFile("/proc/asound/seq/clients").contains('"' + port.toUtf8() + '"');
}

bool sendAndWait(MidiService &midi, std::uint32_t endpoint, std::vector<std::uint8_t> data, int timeoutMs = 2000)
{
    auto request = std::make_shared<SysexRequest>();
    request->destination = endpoint;
    request->data = std::move(data);
    midi.sendSysex(request);
    return QTest::qWaitFor([&] { return request->complete.load(); }, timeoutMs);
}

// One update of the listed device, as the user makes it: what the user saw,
// then whether the lists caught up with the devices and avrdude is gone.
// Whatever the updater says meanwhile is in the log too: the outcome stays.
QStringList update(UpdaterHarness &h, const QString &file, bool pullTheCable = false)
{
    h->setSelectedTarget(file.endsWith(".hex") ? FirmwareTarget::coreFirmware : FirmwareTarget::usbFirmware);
    h->setFirmwarePath(file);
    h.settle();
    h.log.clear();
    if (pullTheCable)
        run(QCoreApplication::applicationDirPath() + "/velta-gadgetdevice", {"unplug"});
    h->startUpload();
    // Every update ends in an alert; without a MIDI device it may begin only
    // after a look for the boot drive.
    (void)QTest::qWaitFor([&] { return !h.alerts->messages.isEmpty(); }, 90000);
    h.waitUntilIdle(90000);
    if (!QTest::qWaitFor([&] {
            return h->midiPortNames().contains(port) == portPresent()
                   && h->serialPorts().isEmpty() != QFile::exists("/dev/ttyACM0");
        }, 10000))
        h.log << "devices:stale";
    QTest::qWait(500);
    h.settle();
    if (processprobe::childrenNamed("avrdude") > 0)
        h.log << "avrdude:still running";
    return h.log;
}

} // namespace

class TestRealKernel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(desktopsession::isUp(), "runs in the test VM's desktop session (tests/vm/README.md)"); }

    void alsaSubscribesForEachSend()
    {
        SimDevice device;
        QVERIFY2(device.start({"midi", "--never-drive"}), qPrintable(device.log()));
        const qsizetype threads = QDir("/proc/self/task").count();
        auto midi = AlsaMidiService::create();
        QVERIFY(midi);
        const QString ours = QString::number(midi->createClient("VeltaUpdater")) + ":0";
        // The device only: ALSA's "Midi Through" is no device.
        QStringList names;
        for (int i = 0; i < midi->destinationCount(); ++i)
            names << midi->stringProperty(midi->destination(i), MidiProperty::displayName).value_or("?");
        // "f_midi" is the gadget's own side of the cable, which a real host never sees.
        QCOMPARE(names.filter(QRegularExpression("^(?!f_midi$)")).join(", "), port);
        const std::uint32_t endpoint = midi->destination(int(names.indexOf(port)));
        QCOMPARE(midi->stringProperty(endpoint, MidiProperty::name), QStringLiteral("VELTA 2"));

        // The port's output is open only for a subscriber: each send makes
        // one and takes it away, beside none, a leftover of ours, or
        // another program's, which stays.
        for (const QString &before : {QString(), ours, QStringLiteral("14:0")}) {
            if (!before.isEmpty())
                run("aconnect", {before, QString::number(AlsaMidiService::clientOf(endpoint)) + ":0"});
            QCOMPARE(subscribers(), before);
            QVERIFY(sendAndWait(*midi, endpoint, {0xF0, 0x7D, 0x01, 0x02, 0xF7}));
            QCOMPARE(subscribers(), before == ours ? QString() : before);
        }

        // Gone with a send in flight: its worker ends with it.
        sendAndWait(*midi, endpoint, {0xF0, 0x7D, 0x03, 0xF7}, 0);
        midi.reset();
        QVERIFY(QTest::qWaitFor([&] { return QDir("/proc/self/task").count() == threads; }, 1000));
        QCOMPARE(subscribers(), QStringLiteral("14:0"));
        device.stop();
        QCOMPARE(device.received().mid(0, 3), QStringList(3, "F0 7D 01 02 F7"));
    }

    void updates_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QStringList>("device");
        QTest::addColumn<QStringList>("log");
        // Where the device holds the file: its name on the drive (mounted for
        // the user), "flash", or nowhere (no .uf2 beside the boot loader's INFO_UF2.TXT).
        QTest::addColumn<QString>("storedAs");

        // All as the desktop user but the pulled USB cable. The device's boot
        // loader restarts once it holds the image, and its drive goes.
        const QString fatName = QStringLiteral("velta-usb-2026-01-02T10_30.uf2");
        const QStringList drive = {"--user", desktopsession::user, "--mount"};
        const QStringList midi = QStringList{"midi"} + drive;
        QStringList failedAtDrive{"busy:true", "status:Uploading USB firmware…", "status:Waiting for USB firmware drive…",
                                  "busy:false", "alert:USB firmware update failed.\n\n", "status:Failed."};
        QStringList stays = failedAtDrive;
        stays.insert(3, "status:Finishing…");
        stays[5] += "The VELTA did not restart after the firmware was copied: its boot loader did not take it.";
        QStringList refused = failedAtDrive;
        refused[4] += "The USB firmware drive appeared but could not be mounted: Not authorized to perform operation.";
        const QStringList serial = {"serial", "--flash-out", flash};
        const QStringList core = {"busy:true", "status:Preparing Core firmware update…", "status:Uploading Core firmware…"};
        QTest::newRow("USB, the desktop mounts the drive")
            << "" << midi + QStringList{"desktop"} << UpdaterHarness::usbSuccessLog << fatName;
        QTest::newRow("USB, the updater has UDisks2 mount it")
            << "" << midi + QStringList{"none"} << UpdaterHarness::usbSuccessLog << fatName;
        QTest::newRow("USB, another board's drive mounted before") << "other board desktop"
            << midi + QStringList{"desktop"} << UpdaterHarness::usbSuccessLog << fatName;
        QTest::newRow("USB, another board's drive not mounted before") << "other board none"
            << midi + QStringList{"none"} << UpdaterHarness::usbSuccessLog << fatName;
        QTest::newRow("USB, the boot loader never takes it") << "" << QStringList{"midi", "--stay"} + drive + QStringList{"desktop"}
            << stays << fatName;
        QTest::newRow("USB, polkit refuses the mount") << "refuse mounts" << midi + QStringList{"none"} << refused << "";
        // Left in its boot loader: no MIDI port, its drive, which the updater mounts once asked.
        QTest::newRow("USB, back from the boot loader") << "" << QStringList{"bootloader"} + drive + QStringList{"none"}
            << QStringList{"question:A UF2 boot drive is connected at /media/velta/RPI-RP2, but no USB MIDI device is."}
                   + UpdaterHarness::usbSuccessLog
            << fatName;
        QTest::newRow("USB, cable pulled before Upload") << "pull the cable" << QStringList{"midi"}
            << QStringList{"busy:true", "status:Uploading USB firmware…", "busy:false", "alert:USB firmware update "
                           "failed.\n\nCould not send the USB firmware update command on '" + port + "'.", "status:Failed."}
            << "";
        QTest::newRow("Core, not in dialout: refused before anything starts") << "" << serial
            << QStringList{"alert:You do not have permission to use /dev/ttyACM0.\n\nAdd your user to the group "
                           "\"dialout\" (sudo usermod -aG dialout $USER), then log out and back in."} << "";
        QTest::newRow("Core, in dialout from the next login on") << "join dialout" << serial
            << core + QStringList{"alert:Core firmware upload complete.", "status:Done.", "busy:false"} << "flash";
        QTest::newRow("Core, cable pulled while writing") << "" << QStringList{"serial", "--unplug-after-pages", "20"}
            << core + QStringList{"alert:Core firmware update failed.\n\navrdude failed.\n\n…Writing | …\navrdude was "
                                  "stopped: the serial device /dev/ttyACM0 went away.\n", "status:Failed.", "busy:false"}
            << "";
        // Last: it takes udisksd away for good.
        QTest::newRow("USB without the disk service") << "stop udisksd" << midi + QStringList{"none"}
            << QStringList{"busy:true", "status:Uploading USB firmware…", "status:Waiting for USB firmware drive…", "busy:false",
                           "alert:USB firmware update failed.\n\nThe USB firmware drive did not appear.", "status:Failed."}
            << "";
    }

    void updates()
    {
        QFETCH(QString, setUp);
        QFETCH(QStringList, device);
        QFETCH(QStringList, log);
        QFETCH(QString, storedAs);
        if (setUp == "join dialout")
            QCOMPARE(QProcess::execute("usermod", {"-aG", "dialout", desktopsession::user}), 0);
        // What a session without the right to mount (a background one) gets; read before the session's own rule.
        const QString refusal = "/etc/polkit-1/rules.d/10-velta-refuse.rules";
        if (setUp == "refuse mounts")
            writeFile(refusal, "polkit.addRule(function(action, subject) {\n    if (action.id.indexOf("
                               "\"org.freedesktop.udisks2.filesystem-mount\") == 0)\n        return polkit.Result.NO;\n});\n");
        SimDevice other;
        if (setUp.startsWith("other board"))
            QVERIFY2(other.start({"other-drive", "--user", desktopsession::user, "--mount", setUp.section(' ', 2)}),
                     qPrintable(other.log()));
        const QByteArray otherBefore = other.image().isEmpty() ? QByteArray() : readFile(other.image());
        if (setUp == "stop udisksd") {
            // As on a machine without udisks2: D-Bus can't start it on demand
            // (desktop.sh saw to that). It is our child: desktop.sh became us.
            const int pid = readFile("/run/velta-desktop/udisksd.pid").trimmed().toInt();
            QVERIFY(pid > 0 && ::kill(pid, SIGTERM) == 0);
            QVERIFY(QTest::qWaitFor([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 10000));
        }
        // An image of many blocks with a name FAT can't store; a whole flash.
        const bool usb = device.first() == "midi" || device.first() == "bootloader";
        const QByteArray bytes = usb ? uf2image::image(200) : randomBytes(32 * 1024);
        const QString path = writeFile(desktopsession::exchange + (usb ? "/velta-usb-2026-01-02T10:30.uf2" : "/core.hex"),
                                       usb ? bytes : toIntelHex(bytes));
        QFile::remove(flash);
        SimDevice sim;
        QVERIFY2(sim.start(device), qPrintable(sim.log()));

        QStringList seen;
        QString output;
        if (setUp == "pull the cable") {
            UpdaterHarness h(systemPlatform());
            h->refreshDevices();
            seen = update(h, path, true);
        } else {
            const QString driveTimeout = setUp == "stop udisksd" ? "3" : "30";
            const int code = desktopsession::runAsUser("test_realkernel", {"as-user", path, driveTimeout}, 150000, &output);
            for (const QString &line : output.split('\n'))
                if (line.startsWith("LOG "))
                    seen << line.mid(4).replace("\\n", "\n");
            seen << QString("exit:%1").arg(code);
            log << "exit:0";
        }
        // avrdude's own output: only that it was writing when it ended.
        seen.replaceInStrings(QRegularExpression("(avrdude failed\\.\n\n).*Writing \\| .*\n(?=avrdude was stopped)",
                                                 QRegularExpression::DotMatchesEverythingOption),
                              "\\1…Writing | …\n");
        QFile::remove(refusal);
        QVERIFY2(seen == log, qPrintable(seen.join('\n') + "\n" + output + sim.log()));

        // The drive went with the restart, and UDisks2 cleaned its mount up;
        // one that stays is still mounted for the user at the desktop's place.
        const bool staying = device.contains("--stay");
        // Its output is read while the event loop runs.
        QTRY_COMPARE_WITH_TIMEOUT(sim.restarts(), usb && !storedAs.isEmpty() && !staying ? 1 : 0, 5000);
        const QString mountedAt = staying ? "/media/velta/RPI-RP2" : "";
        if (!other.isRunning())
            QTRY_COMPARE_WITH_TIMEOUT(desktopsession::bootDriveMount().value(1), mountedAt, 5000);
        // The other board's drive: not a byte changed.
        if (!otherBefore.isEmpty()) {
            other.stop();
            QVERIFY(readFile(other.image()) == otherBefore);
        }

        // Gone, the device heard the command (or nothing), holds the file
        // byte for byte (or nothing), and UDisks2 cleans up after it.
        sim.stop();
        const bool commandSent = device.first() == "midi" && setUp != "pull the cable";
        QCOMPARE(sim.received(), QStringList(commandSent ? 1 : 0, updateCommandHex));
        QByteArray held;
        if (usb)
            held = run("mcopy", {"-n", "-i", sim.image(), "::" + (storedAs.isEmpty() ? "*.uf2" : storedAs), "-"});
        else if (QFile::exists(flash))
            held = readFile(flash).left(storedAs.isEmpty() ? -1 : bytes.size());
        QCOMPARE(held, storedAs.isEmpty() ? QByteArray() : bytes);
        QVERIFY(QTest::qWaitFor([] { return desktopsession::bootDriveMount().isEmpty() && QDir("/media/velta").isEmpty(); }, 10000));
    }

    void serialPortOnADesktop_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<bool>("allowlisted");
        QTest::addColumn<bool>("marked");
        QTest::newRow("the VELTA's port") << "VELTA 2" << false << true;
        QTest::newRow("another board's port") << "Serial Board" << false << false;
        // ModemManager probes what it is told is a modem (a udev tag, or a
        // vendor one of its plugins knows): what such probing does.
        QTest::newRow("another board's port, taken for a modem") << "Serial Board" << true << false;
    }

    // ModemManager as Debian runs it, on the system bus with udev, while a
    // Core update starts as the desktop user the moment the port appears.
    // The package's udev rule gives the VELTA's port to the seat's user and
    // tells ModemManager to leave it alone.
    void serialPortOnADesktop()
    {
        QFETCH(QString, product);
        QFETCH(bool, allowlisted);
        QFETCH(bool, marked);
        QCOMPARE(QProcess::execute("usermod", {"-aG", "dialout", desktopsession::user}), 0);
        // Debian's avrdude package tags every CDC ACM port uaccess itself: out
        // of the way, the tag shows what the rule does.
        const QString avrdudeRule = "/usr/lib/udev/rules.d/60-avrdude.rules";
        QFile::rename(avrdudeRule, avrdudeRule + ".off");
        const QString modemRule = "/etc/udev/rules.d/79-velta-test-modem.rules";
        if (allowlisted)
            writeFile(modemRule, "SUBSYSTEM==\"tty\", ATTRS{product}==\"" + product.toUtf8()
                                     + "\", ENV{ID_MM_DEVICE_PROCESS}=\"1\"\n");
        const auto restoreRules = qScopeGuard([&] {
            QFile::rename(avrdudeRule + ".off", avrdudeRule);
            QFile::remove(modemRule);
        });
        // udevd looks at its rules again at most every 3 s (and refuses
        // "udevadm control --reload" in the VM's chroot).
        QTest::qWait(3500);

        const QString mmLog = "/run/velta-desktop/modemmanager.log";
        QFile::remove(mmLog);
        QProcess modemManager;
        modemManager.start("/usr/sbin/ModemManager", {"--log-level=DEBUG", "--log-file=" + mmLog, "--log-timestamps"});
        const auto stopModemManager = qScopeGuard([&] { processprobe::stop(modemManager); });
        QCOMPARE(QProcess::execute("gdbus", {"wait", "--system", "--timeout", "30", "org.freedesktop.ModemManager1"}), 0);

        // Bytes below 0x40: no "AT\r" in what avrdude sends, whatever it is mixed with.
        QByteArray bytes = randomBytes(4 * 1024);
        for (char &byte : bytes)
            byte &= 0x3F;
        const QString path = writeFile(desktopsession::exchange + "/core.hex", toIntelHex(bytes));
        const QString input = desktopsession::exchange + "/line.bin";
        QFile::remove(flash);
        SimDevice sim;
        QVERIFY2(sim.start({"serial", "--product", product, "--flash-out", flash, "--input-out", input}),
                 qPrintable(sim.log()));
        QString output;
        const int code = desktopsession::runAsUser("test_realkernel", {"as-user", path, "30"}, 150000, &output);
        // Probes would go on for some seconds after the port appeared.
        QTest::qWait(3000);
        const QString properties = QString::fromUtf8(run("udevadm", {"info", "-q", "property", "-n", "/dev/ttyACM0"}));
        sim.stop();
        const qsizetype probes = readFile(input).count("AT\r");
        const QStringList mmLines = QString::fromUtf8(readFile(mmLog)).split('\n').filter("ttyACM0");
        qInfo().noquote() << "udev:" << properties.split('\n').filter(QRegularExpression("^(TAGS|ID_MM_)")).join(" ");
        qInfo().noquote() << "ModemManager on ttyACM0:\n" << mmLines.join('\n');
        qInfo().noquote() << "AT commands on the line:" << probes;
        qInfo().noquote() << "the update:" << output.split('\n').filter("LOG ").join(" | ");

        QCOMPARE(properties.contains(QRegularExpression("^TAGS=.*:uaccess:", QRegularExpression::MultilineOption)), marked);
        QCOMPARE(properties.contains(QRegularExpression("^ID_MM_DEVICE_IGNORE=1$", QRegularExpression::MultilineOption)),
                 marked);
        QCOMPARE(probes > 0, allowlisted);
        if (probes == 0) {
            QCOMPARE(code, 0);
            QVERIFY2(output.contains("LOG alert:Core firmware upload complete."), qPrintable(output));
            QCOMPARE(readFile(flash).left(bytes.size()), bytes);
        }
    }

    // A whole USB update by keys alone, as Debian's screen reader says it:
    // the application itself in the user's X session, on the real drivers.
    void screenReaderHearsAUsbUpdate()
    {
        const QByteArray image = uf2image::image(100);
        const QString path = writeFile(desktopsession::exchange + "/velta-usb.uf2", image);
        SimDevice sim;
        // Mounted for the user as an automounter does: an earlier row may have stopped udisksd.
        QVERIFY2(sim.start({"midi", "--user", desktopsession::user, "--mount", "self"}), qPrintable(sim.log()));
        QString output;
        const QStringList arguments = {VELTA_TESTS_DIR "/test_orca.py", "--device",
                                       desktopsession::bin("VeltaUpdater"), path};
        const int code = desktopsession::runAsUser("/usr/bin/python3", arguments, 600000, &output);
        qInfo().noquote() << output;
        QCOMPARE(code, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sim.restarts(), 1, 5000);
    }

    void twoUpdatesInARow()
    {
        // As the real device, the rig's restarts with its new firmware once
        // the image is on the drive. The list follows it, the outcome stays
        // shown, and the next update needs no Refresh.
        SimDevice device;
        QVERIFY2(device.start({"midi"}), qPrintable(device.log()));
        UpdaterHarness h(systemPlatform());
        h->refreshDevices();
        for (int round = 1; round <= 2; ++round) {
            const QByteArray image = uf2image::image(60 * round);
            const QString name = QStringLiteral("velta-usb-%1.uf2").arg(round);
            update(h, writeFile(desktopsession::exchange + '/' + name, image));
            QVERIFY(QTest::qWaitFor([&] {
                return !QFile::exists(device.drive()) && portPresent() && h->midiPortNames().contains(port);
            }, 20000));
            h.settle();
            QCOMPARE(h.log, UpdaterHarness::usbSuccessLog);
            QCOMPARE(h->selectedMIDIPortName(), port);
            QCOMPARE(device.received(), QStringList(round, updateCommandHex));
            QCOMPARE(device.restarts(), round);
            QCOMPARE(run("mcopy", {"-n", "-i", device.image(), "::" + name, "-"}), image);
        }
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestRealKernel test;
    if (argc < 4 || qstrcmp(argv[1], "as-user") != 0)
        return QTest::qExec(&test, argc, argv);
    // "as-user FILE DRIVE_TIMEOUT", as the desktop user: as root it would
    // prove nothing about permissions.
    if (geteuid() == 0)
        return 2;
    UpdaterPlatform platform = systemPlatform();
    platform.bootDriveTimeoutSeconds = QString(argv[3]).toDouble();
    UpdaterHarness h(std::move(platform));
    // The product's own question, answered Copy Firmware with keys as a
    // user does: Tab from the default Cancel, then Space.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&h] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (!h.log.contains("question:" + box->text()))
            h.log << "question:" + box->text();
        // Keys go where the box's focus is, as the keyboard's do.
        QWidget *focused = box->focusWidget() ? box->focusWidget() : box;
        auto *button = qobject_cast<QPushButton *>(focused);
        QTest::keyClick(focused, button && button->text() == "Copy Firmware" ? Qt::Key_Space : Qt::Key_Tab);
    });
    answer.start(100);
    h->refreshDevices();
    for (const QString &entry : update(h, argv[2]))
        std::printf("LOG %s\n", QString(entry).replace('\n', "\\n").toUtf8().constData());
    return 0;
}

#include "test_realkernel.moc"
