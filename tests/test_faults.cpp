// Faults injected into real parts while the window is up: each must end in
// the right alert, "Failed." and a usable window, with nothing left behind.
#include "support/drivefolder.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/shownwindow.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "ui/contentview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <unistd.h>

using namespace std::chrono_literals;

using namespace processprobe;
using namespace testfiles;

namespace {

// A tmpfs mounted for the test, when this machine lets the test mount.
class SmallDrive {
public:
    SmallDrive(const QString &where, const QString &options)
    {
        QDir().mkpath(where);
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", where}) == 0;
        path = where;
    }
    ~SmallDrive()
    {
        if (mounted)
            QProcess::execute("umount", {"-l", path});
    }
    bool mounted = false;
    QString path;
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void driveGoneBeforeTheCopy()
    {
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {});
        DriveFolder drive(h.volumes.path());
        h->setFirmwarePath(writeFile(dir, "fw.uf2", uf2image::image(8)));
        ShownWindow w(h);
        h.settle();
        h->startUpload();
        // Found at once; gone during the pause before the copy.
        QVERIFY(QTest::qWaitFor([&] { return h->statusText() == "Waiting for USB firmware drive…"; }, 5000));
        QTimer::singleShot(300, [&] { drive.unplug(); });
        QVERIFY(h.waitUntilIdle(10000));
        QCOMPARE(h.alertMessages(), QStringList({"USB firmware update failed.\n\nCould not write the firmware to the VELTA."}));
        QCOMPARE(h->statusText(), QStringLiteral("Failed."));
        QVERIFY(w.controlsEnabled());
    }

    void fullOrReadOnlyDrive_data()
    {
        QTest::addColumn<QString>("options");
        QTest::newRow("full") << "size=64k";
        QTest::newRow("read-only") << "ro,size=1m";
    }
    void fullOrReadOnlyDrive()
    {
        QFETCH(QString, options);
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {});
        SmallDrive drive(h.volumes.filePath("RPI-RP2"), options);
        if (!drive.mounted)
            QSKIP("this machine does not let the test mount a tmpfs");
        h->setFirmwarePath(writeFile(dir, "fw.uf2", uf2image::image(512)));
        ShownWindow w(h);
        h.settle();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(10000));
        QCOMPARE(h.alertMessages(), QStringList({"USB firmware update failed.\n\nCould not write the firmware to the VELTA."}));
        QCOMPARE(h->statusText(), QStringLiteral("Failed."));
        QVERIFY(w.controlsEnabled());
    }

    void pulledCableStopsAvrdude()
    {
        // The simulator closes the pty mid-write and its port goes away;
        // avrdude would then spin for ever. It is stopped once the port is
        // gone, long before the limit.
        Stk500SimProcess sim({"--close-after-pages", "8"});
        QTemporaryDir dir;
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {sim.portPath()}, {},
                         AvrdudeRunner(AvrdudeRunner::defaultResourceDir(), 20s));
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->setFirmwarePath(writeFile(dir, "core.hex", toIntelHex(randomBytes(8192))));
        ShownWindow w(h);
        h.settle();
        QElapsedTimer clock;
        clock.start();
        h->startUpload();
        QVERIFY(h.waitUntilIdle(30000));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        const QString alert = h.alertMessages().value(0);
        QVERIFY2(alert.startsWith("Core firmware update failed.\n\navrdude failed.\n\n"), qPrintable(alert));
        QVERIFY2(alert.endsWith("avrdude was stopped: the serial device " + sim.portPath() + " went away.\n"),
                 qPrintable(alert));
        QCOMPARE(h->statusText(), QStringLiteral("Failed."));
        QCOMPARE(h.log.last(), QStringLiteral("busy:false"));
        QVERIFY(h.standardOutput.isEmpty());
        QVERIFY(w.controlsEnabled());
        QCOMPARE(childrenNamed("avrdude"), 0);
    }
};

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
