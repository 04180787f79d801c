#include "base/updatererror.h"

#include <QTest>

#include <cerrno>
#include <cstring>
#include <stdexcept>

class TestUpdaterError : public QObject {
    Q_OBJECT
private slots:
    void messages_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("expected");
        QTest::newRow("destination, empty name") << 0 << "Could not find the selected MIDI destination: ''.";
        QTest::newRow("send") << 1 << "Could not send the USB firmware update command on ' VELTA 2'.";
        QTest::newRow("copy") << 2 << "Could not write the firmware to the VELTA.";
        QTest::newRow("config") << 3 << "bad baud";
        QTest::newRow("tool missing") << 4 << "The bundled update tool 'avrdude.conf' could not be found in the app resources.";
        QTest::newRow("not executable") << 5 << "The bundled update tool 'avrdude' is not executable.";
        QTest::newRow("avrdude, no output") << 6 << "avrdude failed.\n\navrdude failed.";
        QTest::newRow("drive") << 7 << "The USB firmware drive did not appear.";
    }
    void messages()
    {
        QFETCH(int, index);
        QFETCH(QString, expected);
        const UpdaterError errors[] = {
            UpdaterError::midiDestinationNotFound(QString()),
            UpdaterError::sysexSendFailed(QStringLiteral(" VELTA 2")),
            UpdaterError::copyFailed(QStringLiteral("Could not write the firmware to the VELTA.")),
            UpdaterError::serialConfigFailed(QStringLiteral("bad baud")),
            UpdaterError::bundledToolMissing(QStringLiteral("avrdude.conf")),
            UpdaterError::bundledToolNotExecutable(QStringLiteral("avrdude")),
            UpdaterError::avrdudeFailed(QStringLiteral("avrdude failed.")),
            UpdaterError::bootDriveNotFound(),
        };
        const UpdaterError &error = errors[index];
        QCOMPARE(error.errorDescription(), expected);
        // What the workflow shows for any caught error.
        QCOMPARE(describeError(error), expected);
        QCOMPARE(QString::fromUtf8(error.what()), expected);
    }

    void serialOpenFailedHasFiveLines()
    {
        const UpdaterError error = UpdaterError::serialOpenFailed(QStringLiteral("/dev/ttyACM0"), EBUSY);
        const QStringList lines = error.errorDescription().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0), QStringLiteral("Could not open the selected USB serial device:"));
        QCOMPARE(lines.at(1), QString());
        QCOMPARE(lines.at(2), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(lines.at(3), QString());
        QCOMPARE(lines.at(4), QString::fromLocal8Bit(std::strerror(EBUSY)));
    }

    void otherErrorsUseTheirOwnText()
    {
        QCOMPARE(describeError(std::runtime_error("interrupted")), QStringLiteral("interrupted"));
    }
};

QTEST_GUILESS_MAIN(TestUpdaterError)
#include "test_updatererror.moc"
