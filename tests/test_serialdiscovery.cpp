#include "core/serialaccess.h"
#include "core/serialdiscovery.h"
#include "core/systemserialregistry.h"
#include "support/fakeserialregistry.h"

#include <QTest>

namespace {

QStringList discoveredPaths(const QStringList &registryPaths)
{
    FakeSerialRegistry registry(registryPaths);
    QStringList paths;
    for (const SerialPortChoice &port : discoverSerialPorts(registry))
        paths << port.path;
    return paths;
}

QString preferredPath(const QStringList &registryPaths)
{
    FakeSerialRegistry registry(registryPaths);
    const auto preferred = preferredSerialPort(discoverSerialPorts(registry));
    return preferred ? preferred->path : QStringLiteral("<none>");
}

} // namespace

class TestSerialDiscovery : public QObject {
    Q_OBJECT
private slots:
    void onlyUsbSerialPortsCount()
    {
        QVERIFY(isCalloutDevicePath(QStringLiteral("/dev/ttyACM0")));
        QVERIFY(isCalloutDevicePath(QStringLiteral("/dev/ttyUSB12")));
        QVERIFY(!isCalloutDevicePath(QStringLiteral("/dev/ttyS0")));
        QVERIFY(!isCalloutDevicePath(QStringLiteral("/dev/ttyAMA0")));
        QVERIFY(!isCalloutDevicePath(QStringLiteral("/dev/rfcomm0")));
        QVERIFY(!isCalloutDevicePath(QStringLiteral("/dev/pts/3")));

        // udev's tty events, as they come: only a USB port that comes or goes counts.
        QVERIFY(isSerialHotplug("add", "/dev/ttyACM0"));
        QVERIFY(isSerialHotplug("remove", "/dev/ttyUSB3"));
        QVERIFY(!isSerialHotplug("change", "/dev/ttyACM0"));
        QVERIFY(!isSerialHotplug("bind", "/dev/ttyACM0"));
        QVERIFY(!isSerialHotplug("add", "/dev/ttyS4"));
        QVERIFY(!isSerialHotplug("remove", ""));
    }

    void sortedByLastComponentIgnoringCaseAndNumbers()
    {
        QCOMPARE(discoveredPaths({"/dev/cu.VELTA2", "/dev/cu.usbserial-10", "/dev/cu.Bluetooth-Incoming-Port"}),
                 QStringList({"/dev/cu.Bluetooth-Incoming-Port", "/dev/cu.usbserial-10", "/dev/cu.VELTA2"}));
        // Digits are characters: 10 before 9.
        QCOMPARE(discoveredPaths({"/dev/ttyACM9", "/dev/ttyACM10", "/dev/ttyACM1"}),
                 QStringList({"/dev/ttyACM1", "/dev/ttyACM10", "/dev/ttyACM9"}));
        // The folder plays no part.
        QCOMPARE(discoveredPaths({"/dev/a/ttyUSB1", "/dev/z/ttyUSB0"}),
                 QStringList({"/dev/z/ttyUSB0", "/dev/a/ttyUSB1"}));
    }

    void sortIsStableAndDuplicatesKeepTheFirst()
    {
        FakeSerialRegistry registry({"/dev/b/ttyacm0", "/dev/ttyUSB0", "/dev/a/TTYACM0", "/dev/ttyUSB0"});
        const QList<SerialPortChoice> ports = discoverSerialPorts(registry);
        QCOMPARE(ports.size(), 3);
        QCOMPARE(ports.at(0).path, QStringLiteral("/dev/b/ttyacm0"));
        QCOMPARE(ports.at(1).path, QStringLiteral("/dev/a/TTYACM0"));
        QCOMPARE(ports.at(2).path, QStringLiteral("/dev/ttyUSB0"));
    }

    void orderDoesNotDependOnTheCLocale()
    {
        // Under LANG=C Qt's collator would fall back to code points, which put
        // "~" after the letters; language rules put punctuation first.
        QCOMPARE(qgetenv("LANG"), QByteArray("C.UTF-8"));
        QCOMPARE(discoveredPaths({"/dev/ttyACMb", "/dev/ttyACM~", "/dev/ttyACMA"}),
                 QStringList({"/dev/ttyACM~", "/dev/ttyACMA", "/dev/ttyACMb"}));
    }

    void preference_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("preferred");
        QTest::newRow("none") << QStringList() << "<none>";
        QTest::newRow("ACM beats an earlier USB") << QStringList({"/dev/ttyUSB0", "/dev/xttyACM5"}) << "/dev/xttyACM5";
        QTest::newRow("ACM beats an earlier other port") << QStringList({"/dev/aaa", "/dev/ttyACM9"}) << "/dev/ttyACM9";
        QTest::newRow("first of two ACM in sorted order") << QStringList({"/dev/ttyACM2", "/dev/ttyACM1"}) << "/dev/ttyACM1";
        QTest::newRow("case-insensitive keyword") << QStringList({"/dev/a", "/dev/TTYusb3"}) << "/dev/TTYusb3";
        QTest::newRow("device name") << QStringList({"/dev/cu.Bluetooth", "/dev/cu.VELTA2"}) << "/dev/cu.VELTA2";
        QTest::newRow("no keyword: first sorted")
            << QStringList({"/dev/cu.debug-console", "/dev/cu.Bluetooth-Incoming-Port"}) << "/dev/cu.Bluetooth-Incoming-Port";
    }
    void preference()
    {
        QFETCH(QStringList, paths);
        QFETCH(QString, preferred);
        QCOMPARE(preferredPath(paths), preferred);
    }

    void permissionAlerts_data()
    {
        QTest::addColumn<QVariant>("group");
        QTest::addColumn<QString>("message");
        const QString refused = "You do not have permission to use /dev/ttyACM0.";
        QTest::newRow("dialout (Debian)")
            << QVariant("dialout")
            << refused + "\n\nAdd your user to the group \"dialout\" (sudo usermod -aG dialout $USER), then log out and back in.";
        QTest::newRow("uucp (Arch)")
            << QVariant("uucp")
            << refused + "\n\nAdd your user to the group \"uucp\" (sudo usermod -aG uucp $USER), then log out and back in.";
        QTest::newRow("root") << QVariant("root") << refused;
        QTest::newRow("a group without a name") << QVariant() << refused;
    }
    void permissionAlerts()
    {
        QFETCH(QVariant, group);
        QFETCH(QString, message);
        QCOMPARE(serialPermissionMessage("/dev/ttyACM0", group.isValid() ? std::optional(group.toString()) : std::nullopt),
                 message);
    }

    void onlyADeniedPortIsRefused()
    {
        // A port that went away is avrdude's to report.
        QCOMPARE(serialPermissionProblem("/dev/ttyACM-gone"), std::nullopt);
        QCOMPARE(serialPermissionProblem("/dev/null"), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestSerialDiscovery)
#include "test_serialdiscovery.moc"
