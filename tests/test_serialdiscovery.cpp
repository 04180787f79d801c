#include "core/serialaccess.h"
#include "core/serialdiscovery.h"
#include "core/systemserialregistry.h"
#include "support/fakeserialregistry.h"

#include <QTest>

class TestSerialDiscovery : public QObject {
    Q_OBJECT
private slots:
    void onlyUsbSerialPortsCount()
    {
        // udev's tty events, as they come: only a USB port that comes or goes counts.
        const struct { const char *action, *node; bool usb, counts; } events[] = {
            {"add", "/dev/ttyACM0", true, true}, {"remove", "/dev/ttyUSB1", true, true}, {"change", "/dev/ttyACM0", true, false},
            {"bind", "/dev/ttyACM0", true, false}, {"add", "/dev/ttyS4", false, false}, {"add", "/dev/ttyAMA0", false, false},
            {"add", "/dev/rfcomm0", false, false}, {"add", "/dev/pts/3", false, false}, {"remove", "", false, false}};
        for (const auto &event : events) {
            QCOMPARE(isCalloutDevicePath(event.node), event.usb);
            QCOMPARE(isSerialHotplug(event.action, event.node), event.counts);
        }
    }

    void orderAndPreference_data()
    {
        QTest::addColumn<QStringList>("registry");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("preferred");
        const auto row = [](const char *name, const QStringList &registry, const QStringList &listed, const char *preferred) {
            QTest::newRow(name) << registry << (listed.isEmpty() ? registry : listed) << QString(preferred);
        };
        row("none", {}, {}, "");
        // Sorted by the last component, case ignored, digits as characters.
        row("by name", {"cu.VELTA2", "cu.usb-10", "cu.Bluetooth"}, {"cu.Bluetooth", "cu.usb-10", "cu.VELTA2"}, "cu.VELTA2");
        row("10 before 9", {"ttyACM9", "ttyACM10", "ttyACM1"}, {"ttyACM1", "ttyACM10", "ttyACM9"}, "ttyACM1");
        row("the folder plays no part; no keyword: the first", {"/a/x1", "/z/x0"}, {"/z/x0", "/a/x1"}, "/z/x0");
        row("stable; a path's first kept", {"b/ttyacm0", "ttyUSB0", "a/TTYACM0", "ttyUSB0"},
            {"b/ttyacm0", "a/TTYACM0", "ttyUSB0"}, "b/ttyacm0");
        // Under LANG=C (ctest sets C.UTF-8) Qt's collator falls back to code points: "~" after letters.
        row("punctuation first", {"ttyACMb", "ttyACM~", "ttyACMA"}, {"ttyACM~", "ttyACMA", "ttyACMb"}, "ttyACM~");
        // Keyword priority before list order: ACM, USB, then the device's name.
        row("ACM before USB", {"/dev/ttyUSB0", "/dev/xttyACM5"}, {}, "/dev/xttyACM5");
        row("ACM before others", {"aaa", "ttyACM9"}, {}, "ttyACM9");
        row("USB before the name, any case", {"cu.VELTA2", "TTYusb3"}, {}, "TTYusb3");
    }
    void orderAndPreference()
    {
        QFETCH(QStringList, registry);
        QFETCH(QStringList, listed);
        QFETCH(QString, preferred);
        FakeSerialRegistry fake(registry);
        const QList<SerialPortChoice> ports = discoverSerialPorts(fake);
        QStringList paths;
        for (const SerialPortChoice &port : ports)
            paths << port.path;
        QCOMPARE(paths, listed);
        QCOMPARE(preferredSerialPort(ports).value_or(SerialPortChoice()).path, preferred);
    }

    void permissionAlerts()
    {
        const QString refused = "You do not have permission to use /dev/ttyACM0.";
        const QString join = "\n\nAdd your user to the group \"%1\" (sudo usermod -aG %1 $USER), then log out and back in.";
        QCOMPARE(serialPermissionMessage("/dev/ttyACM0", "dialout"), refused + join.arg("dialout"));
        QCOMPARE(serialPermissionMessage("/dev/ttyACM0", "root"), refused);
        QCOMPARE(serialPermissionMessage("/dev/ttyACM0", std::nullopt), refused);
        // Only a denied port is refused: one that went away is avrdude's to report.
        QCOMPARE(serialPermissionProblem("/dev/ttyACM-gone"), std::nullopt);
        QCOMPARE(serialPermissionProblem("/dev/null"), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestSerialDiscovery)
#include "test_serialdiscovery.moc"
