// The boot drive side of a USB update: the UF2 check, finding the drive and
// copying the image onto it, on real files and folders.
#include "base/updatererror.h"
#include "support/drivefolder.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "usb/bootdrive.h"
#include "usb/firmwarecopy.h"
#include "usb/uf2check.h"
#include "usb/udisksvolumes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;

namespace {

// The workflow's copy: the whole source, then the write.
void copyFirmware(const QString &source, const QString &destination)
{
    writeFirmware(readFirmwareSource(source), destination);
}

QString copyError(const QString &source, const QString &destination)
{
    try {
        copyFirmware(source, destination);
    } catch (const UpdaterError &error) {
        if (error.kind() != UpdaterError::Kind::copyFailed)
            return QStringLiteral("wrong kind");
        return error.errorDescription();
    }
    return QString();
}

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

const QString udisksBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString udisksFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");

// A file system on its own drive, as UDisks2 lists it.
void addFileSystem(ManagedObjects &objects, const QString &name, const QString &label, const QVariantMap &drive,
                   const QStringList &mountPoints = {}, const QVariantMap &hints = {})
{
    const QString path = QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + name;
    const QString drivePath = QStringLiteral("/org/freedesktop/UDisks2/drives/") + name;
    QVariantMap block{{"IdLabel", label}, {"IdType", "vfat"}, {"HintSystem", false}, {"HintIgnore", false},
                      {"Drive", drive.isEmpty() ? QStringLiteral("/") : drivePath}};
    block.insert(hints);
    QByteArrayList points;
    for (const QString &point : mountPoints)
        points << point.toUtf8() + '\0';
    objects[path] = {{udisksBlock, block}, {udisksFilesystem, {{"MountPoints", QVariant::fromValue(points)}}}};
    if (!drive.isEmpty())
        objects[drivePath] = {{"org.freedesktop.UDisks2.Drive", drive}};
}

const QVariantMap usbStick{{"Removable", true}, {"MediaRemovable", true}, {"ConnectionBus", "usb"}};

// The real service behind a counter of the lookups the wait makes.
class CountedVolumes : public VolumeService {
public:
    explicit CountedVolumes(std::shared_ptr<VolumeService> inner) : inner_(std::move(inner)) {}
    bool isAvailable() const override { return inner_->isAvailable(); }
    std::optional<QString> findBootDrive() override
    {
        ++lookups;
        onMainThread = onMainThread || QThread::currentThread() == qApp->thread();
        return answers.isEmpty() ? inner_->findBootDrive() : answers.takeFirst();
    }
    std::atomic<int> lookups = 0;
    std::atomic<bool> onMainThread = false;
    QList<std::optional<QString>> answers;

private:
    std::shared_ptr<VolumeService> inner_;
};

} // namespace

class TestUsbFiles : public QObject {
    Q_OBJECT
private slots:
    // ---- UF2 check ----
    void uf2Images_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        using namespace uf2image;
        QTest::newRow("RP2040") << image(8) << true;
        QTest::newRow("RP2350 with a leading absolute block")
            << block(0, 1, familyAbsolute) + image(4, familyRp2350ArmSecure) << true;
        QTest::newRow("full 476-byte payload") << block(0, 1, familyRp2040, 476) << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("truncated last block") << image(3).left(3 * 512 - 1) << false;
        QTest::newRow("one extra byte") << image(3) + 'x' << false;
        QByteArray lateMagic = image(4);
        lateMagic[3 * 512 + 4] = 0;
        QTest::newRow("wrong start magic in a later block") << lateMagic << false;
        QByteArray lateEnd = image(4);
        lateEnd[2 * 512 + 511] = 0;
        QTest::newRow("wrong end magic in a later block") << lateEnd << false;
        QTest::newRow("payload too big") << block(0, 1, familyRp2040, 477) << false;
        // The boot loader skips blocks of other chips' families.
        QTest::newRow("RP2350 RISC-V") << image(4, 0xe48bff5a) << true;
        QTest::newRow("no family flag") << withoutFamily(block(0, 2, familySamd21)) + withoutFamily(block(1, 2, familySamd21))
                                        << true;
        QTest::newRow("mixed: SAMD21 and RP2040") << image(2, familySamd21) + image(2) << true;
        QTest::newRow("SAMD21 only") << image(4, familySamd21) << false;
        QTest::newRow("nRF52840 only") << image(4, familyNrf52840) << false;
        QTest::newRow("flag on one foreign block, not on the rest")
            << block(0, 3, familyNrf52840) + withoutFamily(block(1, 3, familyNrf52840)) + withoutFamily(block(2, 3, familyNrf52840))
            << true;
        QTest::newRow("hex text") << QByteArray(":100000000C945C000C946E000C946E000C946E00CA\n").repeated(512) << false;
    }
    void uf2Images()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(isUf2Image(bytes), valid);
    }

    void uf2FileCheckLeavesOddPathsToTheCopy()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("good.uf2"), uf2image::image(2));
        writeFile(dir.filePath("bad.uf2"), "not firmware");
        QDir(dir.path()).mkdir("folder.uf2");
        QCOMPARE(checkUf2File(dir.filePath("good.uf2")), Uf2FileCheck::valid);
        QCOMPARE(checkUf2File(dir.filePath("bad.uf2")), Uf2FileCheck::notUf2);
        QCOMPARE(checkUf2File(dir.filePath("folder.uf2")), Uf2FileCheck::notChecked);
        QCOMPARE(checkUf2File(dir.filePath("missing.uf2")), Uf2FileCheck::notChecked);
    }

    // ---- finding the drive ----
    void findsTheFirstMarkedEntryInListingOrder()
    {
        QTemporaryDir media;
        QTemporaryDir runMedia;
        QDir root(media.path());
        QVERIFY(root.mkdir("SYSTEM"));
        QVERIFY(root.mkdir(".RPI-RP2-hidden"));
        QCOMPARE(findBootDrive({media.path(), runMedia.path()}), std::nullopt);

        // A marker in lower case inside a longer name counts.
        DriveFolder later(runMedia.path(), "my rp2350 drive");
        QCOMPARE(findBootDrive({media.path(), runMedia.path()}), runMedia.filePath("my rp2350 drive"));
        DriveFolder first(media.path(), "RPI-RP2");
        QCOMPARE(findBootDrive({media.path(), runMedia.path()}), media.filePath("RPI-RP2"));
        // Missing roots are skipped.
        QCOMPARE(findBootDrive({"/nonexistent/media", runMedia.path()}), runMedia.filePath("my rp2350 drive"));

        QVERIFY(isBootVolumeName("rp2boot"));
        QVERIFY(isBootVolumeName("Xrpi-rp2Y"));
        QVERIFY(!isBootVolumeName("RPI RP2"));
    }

    void onlyAMountedDriveCounts()
    {
        // A plain folder of the drive's name is on the computer's own disk.
        QTemporaryDir media;
        QVERIFY(QDir(media.path()).mkdir("RPI-RP2"));
        writeFile(media.filePath("RP2350.txt"), "");
        QCOMPARE(findBootDrive({media.path()}), std::nullopt);

        // The same folder with a file system mounted on it is the drive.
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", media.filePath("RPI-RP2")}) != 0)
            QSKIP("this machine does not let the test mount a tmpfs");
        QCOMPARE(findBootDrive({media.path()}), media.filePath("RPI-RP2"));
        QCOMPARE(QProcess::execute("umount", {media.filePath("RPI-RP2")}), 0);
    }

    void waitFindsAMountedDriveWithoutPausing()
    {
        int scans = 0;
        QElapsedTimer clock;
        clock.start();
        const auto drive = runTask(waitForBootDrive([&] { ++scans; return std::optional<QString>("/media/u/RPI-RP2"); }, 20.0));
        QCOMPARE(drive, std::optional<QString>("/media/u/RPI-RP2"));
        QCOMPARE(scans, 1);
        QVERIFY(clock.elapsed() < 400);
    }

    void waitStopsScanningAtTheLimitAndKeepsTheThreadFree()
    {
        int scans = 0;
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QElapsedTimer clock;
        clock.start();
        const auto drive = runTask(waitForBootDrive([&] { ++scans; return std::optional<QString>(); }, 1.2));
        QCOMPARE(drive, std::nullopt);
        // Scans at 0, 0.5 and 1.0 s; none after 1.2 s.
        QCOMPARE(scans, 3);
        QVERIFY2(clock.elapsed() >= 1200 && clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(ticks >= 15, qPrintable(QStringLiteral("timer fired %1 times").arg(ticks)));

        scans = 0;
        QCOMPARE(runTask(waitForBootDrive([&] { ++scans; return std::optional<QString>("x"); }, 0.0)), std::nullopt);
        QCOMPARE(scans, 0);
    }

    // ---- the boot drive through UDisks2 ----
    void chooseBootFileSystem_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QVariantMap>("drive");
        QTest::addColumn<QVariantMap>("hints");
        QTest::addColumn<QStringList>("mountPoints");
        QTest::addColumn<QString>("expected"); // "none", "unmounted" or the mount point

        const QVariantMap internal{{"Removable", false}, {"ConnectionBus", ""}};
        QTest::newRow("unmounted USB drive") << "RPI-RP2" << usbStick << QVariantMap() << QStringList() << "unmounted";
        QTest::newRow("mounted: its first mount point")
            << "RPI-RP2" << usbStick << QVariantMap() << QStringList{"/media/u/RPI-RP2", "/mnt/x"} << "/media/u/RPI-RP2";
        QTest::newRow("marker inside a lower-case label")
            << "my rp2350 disk" << usbStick << QVariantMap() << QStringList() << "unmounted";
        QTest::newRow("system device") << "RPI-RP2" << usbStick << QVariantMap{{"HintSystem", true}} << QStringList()
                                       << "none";
        QTest::newRow("to be ignored") << "RPI-RP2" << usbStick << QVariantMap{{"HintIgnore", true}} << QStringList()
                                       << "none";
        QTest::newRow("internal disk") << "RPI-RP2" << internal << QVariantMap() << QStringList() << "none";
        QTest::newRow("removable, not USB")
            << "RPI-RP2" << QVariantMap{{"Removable", true}, {"ConnectionBus", "sdio"}} << QVariantMap()
            << QStringList() << "unmounted";
        QTest::newRow("USB, not removable")
            << "RPI-RP2" << QVariantMap{{"Removable", false}, {"ConnectionBus", "usb"}} << QVariantMap()
            << QStringList() << "unmounted";
        QTest::newRow("no drive at all") << "RPI-RP2" << QVariantMap() << QVariantMap() << QStringList() << "none";
        QTest::newRow("no marker") << "RPI RP2" << usbStick << QVariantMap() << QStringList() << "none";
    }

    void chooseBootFileSystem()
    {
        QFETCH(QString, label);
        QFETCH(QVariantMap, drive);
        QFETCH(QVariantMap, hints);
        QFETCH(QStringList, mountPoints);
        QFETCH(QString, expected);
        ManagedObjects objects;
        addFileSystem(objects, "sda", label, drive, mountPoints, hints);
        const std::optional<BootFileSystem> chosen = ::chooseBootFileSystem(objects);
        if (expected == "none") {
            QCOMPARE(chosen, std::nullopt);
            return;
        }
        QVERIFY(chosen);
        QCOMPARE(chosen->objectPath, QStringLiteral("/org/freedesktop/UDisks2/block_devices/sda"));
        QCOMPARE(chosen->mountPoint, expected == "unmounted" ? std::nullopt : std::optional(expected));
    }

    void bootFileSystemsTakeTheMarkersInOrder()
    {
        // "RP2BOOT" sorts first but is the last marker; a whole disk of the
        // right name without a file system is no drive.
        ManagedObjects objects;
        addFileSystem(objects, "sdb", "RP2BOOT", usbStick);
        addFileSystem(objects, "sdc", "RPI-RP2", usbStick);
        objects["/org/freedesktop/UDisks2/block_devices/sda"] = {
            {udisksBlock, {{"IdLabel", "RPI-RP2"}, {"Drive", "/org/freedesktop/UDisks2/drives/sdb"}}}};
        QCOMPARE(::chooseBootFileSystem(objects)->objectPath, QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdc"));
        objects.remove("/org/freedesktop/UDisks2/block_devices/sdc");
        QCOMPARE(::chooseBootFileSystem(objects)->objectPath, QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdb"));
    }

    void noSystemBusLeavesTheFolderScanAsItWas()
    {
        // A machine without D-Bus: UDisks2 is never asked, so each scan is
        // the folder scan alone and the wait keeps its old cadence.
        auto volumes = std::make_shared<CountedVolumes>(std::make_shared<UDisksVolumes>(
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/system_bus_socket"), "nobus")));
        QVERIFY(!volumes->isAvailable());
        QTemporaryDir media;
        int scans = 0;
        auto scan = [&] { ++scans; return findBootDrive({media.path()}); };
        QCOMPARE(runTask(waitForBootDrive(scan, 1.2, volumes)), std::nullopt);
        QCOMPARE(scans, 3);
        DriveFolder drive(media.path());
        QCOMPARE(runTask(waitForBootDrive(scan, 20.0, volumes)), drive.path());
        QCOMPARE(scans, 4);
        QCOMPARE(volumes->lookups.load(), 0);
    }

    void theServiceIsAskedOffTheMainThreadWhenTheFoldersShowNothing()
    {
        struct Available : VolumeService {
            bool isAvailable() const override { return true; }
            std::optional<QString> findBootDrive() override { return std::nullopt; }
        };
        auto volumes = std::make_shared<CountedVolumes>(std::make_shared<Available>());
        volumes->answers = {std::nullopt, QStringLiteral("/media/u/RPI-RP2")};
        int scans = 0;
        QCOMPARE(runTask(waitForBootDrive([&] { ++scans; return std::optional<QString>(); }, 20.0, volumes)),
                 QStringLiteral("/media/u/RPI-RP2"));
        QCOMPARE(scans, 2);
        QCOMPARE(volumes->lookups.load(), 2);
        QVERIFY(!volumes->onMainThread);
        // A drive in the folders is taken without asking.
        QCOMPARE(runTask(waitForBootDrive([] { return std::optional<QString>("/media/u/RP2350"); }, 20.0, volumes)),
                 QStringLiteral("/media/u/RP2350"));
        QCOMPARE(volumes->lookups.load(), 2);
    }

    void driveNamesHoldOnlyWhatFatStores()
    {
        QCOMPARE(driveFileName("velta-usb-2026-01-02T10:30.uf2"), QStringLiteral("velta-usb-2026-01-02T10_30.uf2"));
        QCOMPARE(driveFileName("a\"*<>?\\|\x01\tb ü.uf2"), QStringLiteral("a_________b ü.uf2"));
    }

    void copyReplacesAnOldFileByteForByte()
    {
        QTemporaryDir dir;
        QDir(dir.path()).mkdir("RPI-RP2");
        const QByteArray image = uf2image::image(64);
        writeFile(dir.filePath("fw.uf2"), image);
        writeFile(dir.filePath("RPI-RP2/fw.uf2"), QByteArray(100000, 'o'));
        copyFirmware(dir.filePath("fw.uf2"), dir.filePath("RPI-RP2/fw.uf2"));
        QCOMPARE(readFile(dir.filePath("RPI-RP2/fw.uf2")), image);

        writeFile(dir.filePath("empty.uf2"), QByteArray());
        copyFirmware(dir.filePath("empty.uf2"), dir.filePath("RPI-RP2/empty.uf2"));
        QVERIFY(QFileInfo::exists(dir.filePath("RPI-RP2/empty.uf2")));
        QCOMPARE(QFileInfo(dir.filePath("RPI-RP2/empty.uf2")).size(), 0);
    }

    void copyErrorsLeaveTheDriveAlone()
    {
        QTemporaryDir dir;
        QDir(dir.path()).mkdir("RPI-RP2");
        writeFile(dir.filePath("RPI-RP2/fw.uf2"), "old");

        QCOMPARE(copyError(dir.filePath("fw.uf2"), dir.filePath("RPI-RP2/fw.uf2")),
                 QStringLiteral("Source firmware file was not found."));
        QDir(dir.path()).mkdir("fw.uf2");
        QCOMPARE(copyError(dir.filePath("fw.uf2"), dir.filePath("RPI-RP2/fw.uf2")),
                 QStringLiteral("Could not read the selected firmware file."));
        QCOMPARE(readFile(dir.filePath("RPI-RP2/fw.uf2")), QByteArray("old"));

        writeFile(dir.filePath("good.uf2"), "new");
        QCOMPARE(copyError(dir.filePath("good.uf2"), dir.filePath("gone/fw.uf2")),
                 QStringLiteral("Could not write the firmware to the VELTA."));
    }

    void copyFlushesBeforeItReturns()
    {
        // Run under strace, the copy must show write, fsync, close on the
        // destination, in that order: only then is "complete" true on a
        // removable drive.
        const QByteArray childJob = qgetenv("VELTA_TRACED_COPY");
        if (!childJob.isEmpty()) {
            const QList<QByteArray> paths = childJob.split('\n');
            copyFirmware(QString::fromUtf8(paths.at(0)), QString::fromUtf8(paths.at(1)));
            return;
        }
        const QString strace = QStandardPaths::findExecutable("strace");
        if (strace.isEmpty())
            QSKIP("strace is not installed");
        QTemporaryDir dir;
        writeFile(dir.filePath("fw.uf2"), uf2image::image(16));
        QProcess traced;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELTA_TRACED_COPY", dir.filePath("fw.uf2") + "\n" + dir.filePath("copy.uf2"));
        // A sanitizer build's leak check can't run under ptrace and would fail the child.
        env.insert("LSAN_OPTIONS", "detect_leaks=0");
        traced.setProcessEnvironment(env);
        traced.start(strace, {"-f", "-e", "trace=openat,write,fsync,fdatasync,close", "-o", dir.filePath("trace"),
                              QCoreApplication::applicationFilePath(), "copyFlushesBeforeItReturns"});
        QVERIFY(traced.waitForFinished(30000));
        QCOMPARE(traced.exitCode(), 0);
        QCOMPARE(readFile(dir.filePath("copy.uf2")), uf2image::image(16));

        const QString trace = QString::fromUtf8(readFile(dir.filePath("trace")));
        const QRegularExpression opened(QRegularExpression::escape(dir.filePath("copy.uf2")) + "\".*= (\\d+)$",
                                        QRegularExpression::MultilineOption);
        const auto match = opened.match(trace);
        QVERIFY2(match.hasMatch(), qPrintable(trace));
        const QString fd = match.captured(1);
        const QString after = trace.mid(match.capturedEnd());
        const qsizetype write = after.indexOf(QRegularExpression("write\\(" + fd + ","));
        const qsizetype fsync = after.indexOf(QRegularExpression("f(data)?sync\\(" + fd + "\\)\\s+= 0"));
        const qsizetype close = after.indexOf(QRegularExpression("close\\(" + fd + "\\)"));
        QVERIFY2(write >= 0 && fsync > write && close > fsync, qPrintable(after));
    }
};

QTEST_MAIN(TestUsbFiles)
#include "test_usbfiles.moc"
