// The boot drive side of a USB update: the UF2 check, finding the drive and
// copying the image onto it, on real files and folders.
#include "support/drivefolder.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "base/updatererror.h"
#include "usb/bootdrive.h"
#include "usb/firmwarecopy.h"
#include "usb/uf2check.h"
#include "usb/udisksvolumes.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace testfiles;
using namespace uf2image;

namespace {

template <typename T>
T runTask(Task<T> task)
{
    std::optional<T> result;
    auto body = [](Task<T> inner, std::optional<T> &out) -> Task<void> { out.emplace(co_await std::move(inner)); };
    startDetached(body(std::move(task), result));
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 30000))
        qFatal("the task did not finish");
    return *result;
}

const QString blockDevices = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QVariantMap usbStick{{"Removable", true}, {"MediaRemovable", true}, {"ConnectionBus", "usb"}};

// A file system on its own drive, as UDisks2 lists it.
void addFileSystem(ManagedObjects &objects, const QString &name, const QString &label, const QVariantMap &drive,
                   const QStringList &mountPoints = {}, const QVariantMap &hints = {})
{
    const QString drivePath = QStringLiteral("/org/freedesktop/UDisks2/drives/") + name;
    QVariantMap block{{"IdLabel", label}, {"IdType", "vfat"}, {"HintSystem", false}, {"HintIgnore", false},
                      {"Drive", drive.isEmpty() ? QStringLiteral("/") : drivePath},
                      {"DeviceNumber", quint64(0x800 + name.back().unicode())}};
    block.insert(hints);
    QByteArrayList points;
    for (const QString &point : mountPoints)
        points << point.toUtf8() + '\0';
    objects[blockDevices + name] = {{"org.freedesktop.UDisks2.Block", block},
                                    {"org.freedesktop.UDisks2.Filesystem", {{"MountPoints", QVariant::fromValue(points)}}}};
    if (!drive.isEmpty())
        objects[drivePath] = {{"org.freedesktop.UDisks2.Drive", drive}};
}

// Lists what it is given, off the main thread only; mounts as told.
struct ListedVolumes : VolumeService {
    bool isAvailable() const override { return available; }
    std::optional<QList<BootVolume>> bootVolumes() override
    {
        ++lookups;
        onMainThread = onMainThread || QThread::currentThread() == qApp->thread();
        return listed;
    }
    MountOutcome mount(const BootVolume &volume) override
    {
        mounts << volume.objectPath;
        return outcome;
    }
    bool available = true;
    std::optional<QList<BootVolume>> listed;
    MountOutcome outcome;
    QStringList mounts;
    std::atomic<int> lookups = 0;
    std::atomic<bool> onMainThread = false;
};

} // namespace

class TestUsbFiles : public QObject {
    Q_OBJECT
private slots:
    void uf2Images_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("takenBy"); // the chips whose boot loaders take it; "-": not an image
        const quint32 absolute = 0xe48bff57, rp2350Arm = 0xe48bff59, rp2350RiscV = 0xe48bff5a, nrf52840 = 0xada52840;
        auto withWord = [](QByteArray bytes, qsizetype offset, quint32 value) {
            qToLittleEndian<quint32>(value, bytes.data() + offset);
            return bytes;
        };
        QByteArray lateMagic = image(4), lateEnd = image(4);
        lateMagic[3 * 512 + 4] = 0;
        lateEnd[2 * 512 + 511] = 0;
        const QByteArray e10 = withWord(block(0, 2, absolute), 12, 0x10FFFF00);
        const QByteArray noFamily = block(0, 2, familySamd21, 256, 0) + block(1, 2, familySamd21, 256, 0);
        QTest::newRow("RP2040") << image(8) << "RP2040";
        QTest::newRow("RP2350 after an absolute block") << block(0, 1, absolute) + image(4, rp2350Arm) << "RP2350";
        QTest::newRow("RP2350 after the E10 block") << e10 + image(4, rp2350Arm) << "RP2350";
        QTest::newRow("E10 block alone") << e10 << "-";
        QTest::newRow("empty") << QByteArray() << "-";
        QTest::newRow("truncated last block") << image(3).left(3 * 512 - 1) << "-";
        QTest::newRow("one extra byte") << image(3) + 'x' << "-";
        QTest::newRow("wrong start magic in a later block") << lateMagic << "-";
        QTest::newRow("wrong end magic in a later block") << lateEnd << "-";
        QTest::newRow("payload too big") << block(0, 1, familyRp2040, 477) << "-";
        // The boot loaders write 256-byte pages only, and restart only
        // once they hold every block.
        QTest::newRow("476-byte payloads") << block(0, 2, familyRp2040, 476) + block(1, 2, familyRp2040, 476) << "-";
        QTest::newRow("unaligned address") << image(1) + withWord(block(1, 2, familyRp2040), 12, 0x10000180) << "-";
        QTest::newRow("cut after 5 of 8") << image(8).left(5 * 512) << "-";
        QTest::newRow("a block twice, the last missing") << image(8).left(7 * 512) + image(8).mid(512, 512) << "-";
        QTest::newRow("two counts in one family") << image(2) + block(2, 3, familyRp2040) << "-";
        QTest::newRow("a count far beyond the file") << block(0, 0xFFFFFFFF, familyRp2040) << "-";
        QTest::newRow("two families, one cut") << image(4) + image(4, rp2350Arm).left(3 * 512) << "-";
        QTest::newRow("two families, both whole") << image(4) + image(2, rp2350RiscV) << "RP2040 RP2350";
        QTest::newRow("not for main flash only") << block(0, 1, familyRp2040, 256, 0x2001) << "-";
        QTest::newRow("not-main-flash blocks beside") << image(2) + block(0, 9, familyRp2040, 476, 0x2001) << "RP2040";
        QTest::newRow("RP2350 RISC-V") << image(4, rp2350RiscV) << "RP2350";
        QTest::newRow("no family flag") << noFamily << "RP2040 RP2350";
        QTest::newRow("no family flag, cut") << block(0, 3, nrf52840) + noFamily.mid(512) << "-";
        QTest::newRow("mixed: SAMD21 and RP2040") << image(2, familySamd21) + image(2) << "RP2040";
        QTest::newRow("SAMD21 only") << image(4, familySamd21) << "-";
        QTest::newRow("nRF52840 only") << image(4, nrf52840) << "-";
        QTest::newRow("hex text") << QByteArray(":100000000C945C000C946E000C946E000C946E00CA\n").repeated(512) << "-";
    }
    void uf2Images()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, takenBy);
        QCOMPARE(isUf2Image(bytes), takenBy != "-");
        if (takenBy == "-")
            return;
        // As each drive's INFO_UF2.TXT names its chip; no file, or a board
        // not known here: no rule.
        const std::pair<const char *, QByteArray> drives[] = {
            {"RP2040", "UF2 Bootloader v3.0\r\nModel: Raspberry Pi RP2\r\nBoard-ID: RPI-RP2\r\n"},
            {"RP2350", "UF2 Bootloader v1.0\r\nModel: Raspberry Pi RP2350\r\nBoard-ID: RP2350\r\n"},
            {"", "Board-ID: SAMD21-Xplained\n"},
            {"", QByteArray()}};
        for (const auto &[chip, info] : drives) {
            QTemporaryDir drive;
            if (!info.isEmpty())
                writeFile(drive, "INFO_UF2.TXT", info);
            QVERIFY2(driveTakesImage(drive.path(), bytes) == (*chip == '\0' || takenBy.contains(chip)), chip);
        }
    }

    void findsMarkedMountedDrivesInListingOrder()
    {
        QTemporaryDir media, runMedia;
        QVERIFY(QDir(media.path()).mkdir("SYSTEM") && QDir(media.path()).mkdir(".RPI-RP2-hidden"));
        QVERIFY(QDir(media.path()).mkdir("RPI-RP2 folder")); // no drive is mounted there
        const QStringList roots{"/nonexistent/media", media.path(), runMedia.path()};
        const auto anyFileSystem = [](const QString &) { return true; };
        auto paths = [&](const std::function<bool(const QString &)> &check) {
            QStringList found;
            for (const BootDrive &drive : findBootDrives(roots, check))
                found << drive.path;
            return found;
        };
        QCOMPARE(paths(anyFileSystem), QStringList());
        // A marker in lower case inside a longer name counts.
        DriveFolder later(runMedia.path(), "my rp2350 drive");
        DriveFolder first(media.path(), "RPI-RP2");
        QCOMPARE(paths(anyFileSystem), QStringList({first.path(), later.path()}));
        QVERIFY(isBootVolumeName("rp2boot") && isBootVolumeName("Xrpi-rp2Y") && !isBootVolumeName("RPI RP2"));
        // A drive of another file system that carries the label is none.
        QVERIFY(!isFatFileSystem(first.path()));
        QCOMPARE(paths(isFatFileSystem), QStringList());

        // Gone when it leaves; another device in the same folder is not it either.
        const BootDrive drive = findBootDrives(roots, anyFileSystem).first();
        QVERIFY(!bootDriveGone(drive));
        first.unplug();
        QVERIFY(bootDriveGone(drive));
        QVERIFY(QFile::link(later.storage(), first.path()));
        QVERIFY(!bootDriveGone({first.path(), drive.device}));
        QVERIFY(bootDriveGone({first.path(), drive.device + 1}));
    }

    void newDrivesOnlyThroughFoldersThenTheService()
    {
        QTemporaryDir media;
        auto volumes = std::make_shared<ListedVolumes>();
        const BootDriveSources sources{{media.path()}, [](const QString &) { return true; }, volumes};
        const BootVolume unmounted{"/sda", 0x800, std::nullopt}, mounted{"/sdb", 0x810, QStringLiteral("/")};
        auto newDrive = [&](const QSet<quint64> &known) { return findNewBootDrive(sources, known); };
        // Nothing anywhere; without a system bus the service is never asked.
        volumes->available =
            UDisksVolumes(QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "nobus")).isAvailable();
        QVERIFY(!newDrive({}) && volumes->lookups == 0);
        volumes->available = true;
        QVERIFY(!newDrive({}) && volumes->lookups == 1);
        // The folders first; what was there before never counts.
        DriveFolder folder(media.path());
        const quint64 folderDevice = findBootDrives({media.path()}, sources.isBootFileSystem).first().device;
        QCOMPARE(newDrive({}), (BootDrive{folder.path(), folderDevice}));
        volumes->listed = QList<BootVolume>{unmounted, mounted};
        QCOMPARE(connectedBootDrives(sources), QSet<quint64>({folderDevice, 0x800, 0x810}));
        // The service's drives in its order; one not mounted is mounted for
        // the user, a refusal ends the wait with the service's reason.
        volumes->outcome = {QStringLiteral("/"), {}};
        QCOMPARE(newDrive({folderDevice})->path, QStringLiteral("/"));
        QCOMPARE(volumes->mounts, QStringList({"/sda"}));
        QCOMPARE(newDrive({folderDevice, 0x800})->path, QStringLiteral("/"));
        QCOMPARE(volumes->mounts.size(), 1);
        volumes->outcome = {std::nullopt, QStringLiteral("Not authorized to perform operation")};
        try {
            newDrive({folderDevice, 0x810});
            QFAIL("a refused mount passed for no drive");
        } catch (const UpdaterError &error) {
            QCOMPARE(error.errorDescription(), QStringLiteral("The USB firmware drive appeared but could not be "
                                                              "mounted: Not authorized to perform operation."));
        }
        // No answer in time: look again at the next scan.
        volumes->outcome = {};
        QVERIFY(!newDrive({folderDevice, 0x810}));
        QVERIFY(!newDrive({folderDevice, 0x800, 0x810}));
    }

    void waitScansAtOnceThenEveryHalfSecond()
    {
        int ticks = 0;
        std::atomic<int> scans = 0;
        std::atomic<bool> onMainThread = false;
        auto wait = [&](double limit, int foundAt = 0) {
            scans = 0;
            auto scan = [&, foundAt]() -> std::optional<BootDrive> {
                onMainThread = onMainThread || QThread::currentThread() == qApp->thread();
                if (++scans != foundAt)
                    return std::nullopt;
                return BootDrive{"/media/u/RP2350", 1};
            };
            return runTask(::waitForBootDrive(scan, limit));
        };
        // None after 1.2 s; the scans run off the main thread, the pauses give it back.
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QVERIFY(wait(1.2) == std::nullopt && scans == 3 && ticks >= 15 && !onMainThread);
        QVERIFY(wait(20, 2)->path == "/media/u/RP2350" && scans == 2);
        QVERIFY(wait(0) == std::nullopt && scans == 0);
    }

    void bootFileSystems()
    {
        // One desk of candidates; each rule, broken, would list one more.
        // The markers are tried in their order.
        ManagedObjects objects;
        addFileSystem(objects, "sda", "RPI-RP2", usbStick, {}, {{"HintSystem", true}});
        addFileSystem(objects, "sdb", "RPI-RP2", usbStick, {}, {{"HintIgnore", true}});
        addFileSystem(objects, "sdc", "RPI-RP2", {{"Removable", false}, {"ConnectionBus", ""}}); // an internal disk
        addFileSystem(objects, "sdd", "RPI-RP2", {});                                              // no drive at all
        addFileSystem(objects, "sde", "RPI RP2", usbStick);
        objects[blockDevices + "sdf"] = { // a whole disk: no file system
            {"org.freedesktop.UDisks2.Block", {{"IdLabel", "RPI-RP2"}, {"Drive", "/org/freedesktop/UDisks2/drives/sde"}}}};
        addFileSystem(objects, "sdg", "RP2BOOT", usbStick);
        addFileSystem(objects, "sdh", "my rp2350 disk", {{"Removable", true}, {"ConnectionBus", "sdio"}},
                      {"/media/u/RP2350", "/mnt/x"});
        addFileSystem(objects, "sdi", "RPI-RP2", {{"Removable", false}, {"ConnectionBus", "usb"}});
        addFileSystem(objects, "sdj", "RP2BOOT", usbStick, {}, {{"IdType", "ext4"}}); // a stick of another kind
        const QList<BootVolume> expected{{blockDevices + "sdi", 0x800 + 'i', std::nullopt},
                                         {blockDevices + "sdh", 0x800 + 'h', QStringLiteral("/media/u/RP2350")},
                                         {blockDevices + "sdg", 0x800 + 'g', std::nullopt}};
        QCOMPARE(::bootFileSystems(objects), expected);
    }

    void driveNamesHoldOnlyWhatFatStores()
    {
        QCOMPARE(driveFileName("velta-usb-2026-01-02T10:30.uf2"), QStringLiteral("velta-usb-2026-01-02T10_30.uf2"));
        QCOMPARE(driveFileName("a\"*<>?\\|\x01\tb ü.uf2"), QStringLiteral("a_________b ü.uf2"));
    }

    void copyFlushesBeforeItReturns()
    {
        // Run under strace, the copy must show write, fsync, close on the
        // destination, in that order: only then is "complete" true on a
        // removable drive.
        const QList<QByteArray> job = qgetenv("VELTA_TRACED_COPY").split('\n');
        if (job.size() == 2) {
            writeFirmware(readFirmwareSource(QString::fromUtf8(job[0])), QString::fromUtf8(job[1]));
            return;
        }
        const QString strace = QStandardPaths::findExecutable("strace");
        if (strace.isEmpty())
            QSKIP("strace is not installed");
        QTemporaryDir dir;
        const QString copy = dir.filePath("copy.uf2");
        QProcess traced;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELTA_TRACED_COPY", writeFile(dir, "fw.uf2", image(16)) + "\n" + copy);
        // A sanitizer build's leak check can't run under ptrace and would fail the child.
        env.insert("LSAN_OPTIONS", "detect_leaks=0");
        traced.setProcessEnvironment(env);
        traced.start(strace, {"-f", "-qq", "-y", "-P", copy, "-e", "trace=write,fsync,fdatasync,close", "-e", "signal=none",
                              "-o", dir.filePath("trace"), QCoreApplication::applicationFilePath(), "copyFlushesBeforeItReturns"});
        QVERIFY(traced.waitForFinished(30000) && traced.exitCode() == 0);
        QCOMPARE(readFile(copy), image(16));
        const QString calls = QString::fromUtf8(readFile(dir.filePath("trace")));
        QVERIFY2(QRegularExpression("write\\(.*\\n.*f(data)?sync\\(.*= 0\\n.*close\\(").match(calls).hasMatch(), qPrintable(calls));
    }
};

QTEST_MAIN(TestUsbFiles)
#include "test_usbfiles.moc"
