// The updater's half of the desktop tests in the test VM, run by
// test_realkernel as the desktop user (tests/support/desktopsession.h), one
// function per run, against the device it has started. The platform is the
// system's; the files come from the exchange folder.
#include "main/systemplatform.h"
#include "support/desktopsession.h"
#include "support/processprobe.h"
#include "support/updaterharness.h"

#include <QFile>
#include <QTest>

#include <unistd.h>

namespace {

const QString port = QStringLiteral("VELTA 2 MIDI 1");

// Refreshed and given the file, as the user leaves the window before Upload.
void prepare(UpdaterHarness &h, FirmwareTarget target, const QString &file)
{
    h->setSelectedTarget(target);
    h->refreshDevices();
    h->setFirmwarePath(desktopsession::exchange + '/' + file);
    h.settle();
    h.log.clear();
}

} // namespace

class TestDesktopUser : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Never root by mistake: that would prove nothing about permissions.
        QVERIFY2(geteuid() != 0 && getuid() != 0, "runs as the desktop user, started by test_realkernel");
    }

    void usbUpdate()
    {
        UpdaterHarness h(systemPlatform());
        prepare(h, FirmwareTarget::usbFirmware, "velta-usb-2026-01-02T10:30.uf2");
        QCOMPARE(h->selectedMIDIPortName(), port);
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000));
        QVERIFY2(h.log == UpdaterHarness::usbSuccessLog, qPrintable(h.log.join(" | ")));
    }

    void usbWithoutDiskService()
    {
        UpdaterPlatform platform = systemPlatform();
        platform.bootDriveTimeoutSeconds = 3.0;
        UpdaterHarness h(std::move(platform));
        prepare(h, FirmwareTarget::usbFirmware, "velta-usb-2026-01-02T10:30.uf2");
        h->startUpload();
        QVERIFY(h.waitUntilIdle(30000));
        QCOMPARE(h.alertMessages(), QStringList({"USB firmware update failed.\n\nThe USB firmware drive did not appear."}));
    }

    void coreRefused()
    {
        UpdaterHarness h(systemPlatform());
        prepare(h, FirmwareTarget::coreFirmware, "core.hex");
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(h->statusText(), QStringLiteral("Core firmware update ready."));
        h->startUpload();
        h.settle();
        QTest::qWait(200);
        h.settle();
        // One alert and nothing else: no status, never busy, no avrdude.
        QCOMPARE(h.log, QStringList({"alert:You do not have permission to use /dev/ttyACM0.\n\nAdd your user to the group "
                                     "\"dialout\" (sudo usermod -aG dialout $USER), then log out and back in."}));
        QCOMPARE(h->statusText(), QStringLiteral("Core firmware update ready."));
        QVERIFY(!h->isBusy());
        QCOMPARE(processprobe::childrenNamed("avrdude"), 0);
        qInfo("the alert: %s", qPrintable(QString(h.alertMessages().constFirst()).replace('\n', "\\n")));
    }

    void coreUpdate()
    {
        UpdaterHarness h(systemPlatform());
        prepare(h, FirmwareTarget::coreFirmware, "core.hex");
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyACM0"));
        h->startUpload();
        QVERIFY(h.waitUntilIdle(90000));
        QCOMPARE(h.alertMessages(), QStringList({"Core firmware upload complete."}));
        QVERIFY(h.standardOutput.value(0).contains("bytes of flash verified"));
    }
};

QTEST_GUILESS_MAIN(TestDesktopUser)
#include "test_desktopuser.moc"
