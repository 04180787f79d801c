// Fifty Core uploads in a row, alternating success and failure, with the
// real avrdude: nothing may pile up (children, descriptors, memory) and the
// window must come back every time. About a minute.
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/shownwindow.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/updaterharness.h"
#include "ui/contentview.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>

using namespace processprobe;
using namespace testfiles;


class TestEndurance : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void fiftyUploadsLeaveNothingBehind()
    {
        Stk500SimProcess good;
        Stk500SimProcess wrongChip({"--signature", "1e:95:0f"});
        QTemporaryDir dir;
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {good.portPath()});
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->setFirmwarePath(writeFile(dir, "core.hex", toIntelHex(randomBytes(1024))));
        ShownWindow w(h);
        h.settle();

        int descriptors = 0;
        qint64 memory = 0;
        for (int run = 0; run < 50; ++run) {
            const bool succeed = run % 2 == 0;
            h->setSelectedSerialPortPath(succeed ? good.portPath() : wrongChip.portPath());
            h.alerts->messages.clear();
            h->startUpload();
            QVERIFY(h->isBusy());
            QVERIFY2(h.waitUntilIdle(30000), qPrintable(QString::number(run)));
            QCOMPARE(h.alertMessages().size(), 1);
            QCOMPARE(h.alertMessages().at(0).startsWith("Core firmware upload complete."), succeed);
            QCOMPARE(h->statusText(), succeed ? QStringLiteral("Done.") : QStringLiteral("Failed."));
            QVERIFY(w.controlsEnabled());
            if (run == 9) {
                descriptors = openDescriptors();
                memory = residentKiB();
            }
        }
        // Only the two simulators are children; nothing was left open.
        QCOMPARE(childrenNamed("avrdude"), 0);
        QCOMPARE(processprobe::children().size(), 2);
        QCOMPARE(openDescriptors(), descriptors);
        const qint64 growth = residentKiB() - memory;
        qInfo("resident memory after 10 uploads: %lld KiB, growth over the next 40: %lld KiB", memory, growth);
        QVERIFY2(growth < 4096, qPrintable(QString::number(growth)));
        QCOMPARE(h.standardOutput.size(), 25);
    }
};

QTEST_MAIN(TestEndurance)
#include "test_endurance.moc"
