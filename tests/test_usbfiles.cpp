// The boot drive side of a USB update: the UF2 check, finding the drive and
// copying the image onto it, on real files and folders.
#include "support/drivefolder.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
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
                      {"Drive", drive.isEmpty() ? QStringLiteral("/") : drivePath}};
    block.insert(hints);
    QByteArrayList points;
    for (const QString &point : mountPoints)
        points << point.toUtf8() + '\0';
    objects[blockDevices + name] = {{"org.freedesktop.UDisks2.Block", block},
                                    {"org.freedesktop.UDisks2.Filesystem", {{"MountPoints", QVariant::fromValue(points)}}}};
    if (!drive.isEmpty())
        objects[drivePath] = {{"org.freedesktop.UDisks2.Drive", drive}};
}

// Answers from its list, off the main thread only; counts the lookups.
struct ListedVolumes : VolumeService {
    bool isAvailable() const override { return available; }
    std::optional<QString> findBootDrive() override
    {
        ++lookups;
        onMainThread = onMainThread || QThread::currentThread() == qApp->thread();
        return answers.isEmpty() ? std::nullopt : answers.takeFirst();
    }
    bool available = true;
    QList<std::optional<QString>> answers{std::nullopt, QStringLiteral("/media/u/RPI-RP2")};
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
        QTest::addColumn<bool>("valid");
        const quint32 absolute = 0xe48bff57, rp2350Arm = 0xe48bff59, rp2350RiscV = 0xe48bff5a, nrf52840 = 0xada52840;
        QByteArray lateMagic = image(4), lateEnd = image(4);
        lateMagic[3 * 512 + 4] = 0;
        lateEnd[2 * 512 + 511] = 0;
        QTest::newRow("RP2040") << image(8) << true;
        QTest::newRow("RP2350 after an absolute block") << block(0, 1, absolute) + image(4, rp2350Arm) << true;
        QTest::newRow("full 476-byte payload") << block(0, 1, familyRp2040, 476) << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("truncated last block") << image(3).left(3 * 512 - 1) << false;
        QTest::newRow("one extra byte") << image(3) + 'x' << false;
        QTest::newRow("wrong start magic in a later block") << lateMagic << false;
        QTest::newRow("wrong end magic in a later block") << lateEnd << false;
        QTest::newRow("payload too big") << block(0, 1, familyRp2040, 477) << false;
        // The boot loader skips blocks of other chips' families.
        QTest::newRow("RP2350 RISC-V") << image(4, rp2350RiscV) << true;
        QTest::newRow("no family flag") << block(0, 2, familySamd21, 256, 0) + block(1, 2, familySamd21, 256, 0) << true;
        QTest::newRow("mixed: SAMD21 and RP2040") << image(2, familySamd21) + image(2) << true;
        QTest::newRow("SAMD21 only") << image(4, familySamd21) << false;
        QTest::newRow("nRF52840 only") << image(4, nrf52840) << false;
        QTest::newRow("flag on one foreign block only")
            << block(0, 3, nrf52840) + block(1, 3, nrf52840, 256, 0) + block(2, 3, nrf52840, 256, 0) << true;
        QTest::newRow("hex text") << QByteArray(":100000000C945C000C946E000C946E000C946E00CA\n").repeated(512) << false;
    }
    void uf2Images()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(isUf2Image(bytes), valid);
    }

    void findsTheFirstMarkedEntryInListingOrder()
    {
        QTemporaryDir media, runMedia;
        QVERIFY(QDir(media.path()).mkdir("SYSTEM") && QDir(media.path()).mkdir(".RPI-RP2-hidden"));
        const QStringList roots{"/nonexistent/media", media.path(), runMedia.path()};
        QCOMPARE(findBootDrive(roots), std::nullopt);
        // A marker in lower case inside a longer name counts.
        DriveFolder later(runMedia.path(), "my rp2350 drive");
        QCOMPARE(findBootDrive(roots), later.path());
        DriveFolder first(media.path(), "RPI-RP2");
        QCOMPARE(findBootDrive(roots), first.path());
        QVERIFY(isBootVolumeName("rp2boot") && isBootVolumeName("Xrpi-rp2Y") && !isBootVolumeName("RPI RP2"));
    }

    void waitScansAtOnceThenEveryHalfSecond()
    {
        int scans = 0, ticks = 0;
        bool inFolders = false;
        auto wait = [&](double limit, std::shared_ptr<VolumeService> volumes = nullptr) {
            scans = 0;
            auto scan = [&]() -> std::optional<QString> {
                ++scans;
                return inFolders ? std::optional<QString>("/media/u/RP2350") : std::nullopt;
            };
            return runTask(::waitForBootDrive(scan, limit, std::move(volumes)));
        };
        // None after 1.2 s; the pauses give the thread back.
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QVERIFY(wait(1.2) == std::nullopt && scans == 3 && ticks >= 15);
        // Without a system bus UDisks2 is never asked: the folder scan alone.
        auto volumes = std::make_shared<ListedVolumes>();
        volumes->available = UDisksVolumes(QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "nobus")).isAvailable();
        QVERIFY(wait(1.2, volumes) == std::nullopt && scans == 3 && volumes->lookups == 0);
        // Otherwise it is asked, off the main thread, when the folders show nothing.
        volumes->available = true;
        QVERIFY(wait(20, volumes) == "/media/u/RPI-RP2" && scans == 2 && volumes->lookups == 2 && !volumes->onMainThread);
        inFolders = true;
        QVERIFY(wait(20, volumes) == "/media/u/RP2350" && scans == 1 && volumes->lookups == 2);
        QVERIFY(wait(0) == std::nullopt && scans == 0);
    }

    void chooseBootFileSystem()
    {
        // One desk of candidates; each rule, broken, would pick one that
        // comes earlier. The markers are tried in their order.
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
        const QList<BootFileSystem> expected{{blockDevices + "sdi", std::nullopt},
                                             {blockDevices + "sdh", QStringLiteral("/media/u/RP2350")},
                                             {blockDevices + "sdg", std::nullopt}};
        for (const BootFileSystem &next : expected) {
            QCOMPARE(::chooseBootFileSystem(objects), next);
            objects.remove(next.objectPath);
        }
        QCOMPARE(::chooseBootFileSystem(objects), std::nullopt);
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
