// The Core firmware runner: the real bundled avrdude against the simulated
// bootloader, and stand-in tools for what avrdude never does.
#include "base/updatererror.h"
#include "core/avrduderunner.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"

#include <QTest>

// The tool's output, or "error: " and the error's description.
static QString run(const AvrdudeRunner &runner, const QString &firmware, const QString &port = "/dev/ttyACM0")
{
    try {
        return runner.run(firmware, port);
    } catch (const UpdaterError &error) {
        return "error: " + error.errorDescription();
    }
}

// A resources folder in `dir` whose "avrdude" is the shell script `script`,
// beside an empty config.
static AvrdudeRunner standInAvrdude(const QTemporaryDir &dir, const QByteArray &script)
{
    QFile::setPermissions(testfiles::writeFile(dir.filePath("avrdude"), "#!/bin/sh\n" + script), QFile::Permissions(0x7755));
    testfiles::writeFile(dir.filePath("avrdude.conf"), {});
    return AvrdudeRunner(dir.path());
}

class TestAvrdudeRunner : public QObject {
    Q_OBJECT
private slots:
    void progressFollowsTheBarsHoweverTheStreamIsCut()
    {
        // Standard error without a terminal: a read (no verify line before
        // it), the write, and the read that verifies, cut short.
        const QByteArray bar = " | 100% 0.01s\n\n", stream = "\nReading | " + QByteArray(50, '#') + bar
            + "avrdude: writing flash ...\n\nWriting | " + QByteArray(50, '#') + bar
            + "avrdude: verifying flash memory against a.hex\n\nReading | ###" + bar + "avrdude done.  Thank you.\n";
        const QList<AvrdudeProgress> whole = AvrdudeProgressParser().feed(stream);
        QList<AvrdudeProgress> bytewise;
        AvrdudeProgressParser parser;
        for (char c : stream)
            bytewise += parser.feed(QByteArray(1, c));
        QCOMPARE(bytewise, whole);
        QCOMPARE(whole.size(), 51 + 51 + 5);
        QCOMPARE((QList{whole.at(0), whole.at(51 + 25), whole.at(51 + 51 + 3), whole.last()}),
                 (QList<AvrdudeProgress>{{AvrdudePhase::reading, 0}, {AvrdudePhase::writing, 50},
                                         {AvrdudePhase::verifying, 6}, {AvrdudePhase::verifying, 100}}));
    }

    void standIns_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("result");
        const QString bundled = "error: The bundled update tool '%1' ";
        const QString missing = bundled + "could not be found in the app resources.";
        const QString failed = "error: avrdude failed.\n\n";
        // Checked in this order; a refusal starts nothing.
        QTest::newRow("nothing there") << "rm avrdude avrdude.conf" << "" << missing.arg("avrdude");
        QTest::newRow("no config") << "rm avrdude.conf" << "" << missing.arg("avrdude.conf");
        QTest::newRow("not executable") << "chmod 644 avrdude" << "" << bundled.arg("avrdude") + "is not executable.";
        QTest::newRow("config unreadable") << "chmod 200 avrdude.conf" << "" << missing.arg("avrdude.conf");
        QTest::newRow("does not start") << "printf '\\177ELF garbage' > avrdude" << ""
                                        << failed + "Could not start bundled avrdude.\n\nexecvp: Exec format error";
        // Standard output, one line feed, standard error; nothing trimmed, and
        // a stream that is not UTF-8 drops out.
        QTest::newRow("silent") << "" << "exit 0" << "";
        QTest::newRow("both streams") << "" << "echo out; echo err >&2" << "out\n\nerr\n";
        QTest::newRow("error stream only") << "" << "echo err >&2" << "err\n";
        QTest::newRow("no line end") << "" << "printf ' out'" << " out";
        QTest::newRow("output not UTF-8") << "" << "printf 'bad \\377\\376'; printf err >&2" << "err";
        QTest::newRow("error stream not UTF-8") << "" << "printf 'caf\\303\\251'; printf '\\303' >&2" << "café";
        // Far more than a pipe holds: the tool must never stall.
        QTest::newRow("10 MB") << "" << "head -c 10485760 /dev/zero | tr '\\0' e >&2" << QString(10485760, 'e');
        QTest::newRow("silent failure") << "" << "exit 1" << failed + "avrdude failed.";
        QTest::newRow("failure") << "" << "echo out; echo err >&2; exit 2" << failed + "out\n\nerr\n";
        QTest::newRow("killed") << "" << "echo partial >&2; kill -9 $$" << failed + "partial\n";
    }
    void standIns()
    {
        QFETCH(QString, setup);
        QFETCH(QString, script);
        QFETCH(QString, result);
        QTemporaryDir dir;
        const AvrdudeRunner runner = standInAvrdude(dir, "touch \"${0%/*}/started\"\n" + script.toUtf8());
        QCOMPARE(QProcess::execute("sh", {"-c", "cd \"$0\" || exit 1; " + setup, dir.path()}), 0);
        // Root reads everything, so root tries as "nobody"; the saved id brings it back.
        const bool root = geteuid() == 0;
        QVERIFY(!root || (QFile::setPermissions(dir.path(), QFile::Permissions(0x7777)) && setresgid(65534, 65534, 0) == 0
                          && setresuid(65534, 65534, 0) == 0));
        const QString outcome = run(runner, "fw.hex");
        QVERIFY(!root || (setresuid(0, 0, 0) == 0 && setresgid(0, 0, 0) == 0));
        QCOMPARE(outcome, result);
        QVERIFY(!result.startsWith("error: The bundled") || !QFileInfo::exists(dir.filePath("started")));
    }

    void realAvrdude_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<int>("limitSeconds");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("pagesWritten"); // of 256, the rest left blank
        QTest::newRow("writes") << QStringList() << 120 << "32768 bytes of flash verified\n" << 256;
        QTest::newRow("another chip") << QStringList{"--signature", "1e:95:0f"} << 120
                                      << "expected signature for ATmega328 is 1E 95 14" << 0; // -p m328
        // Silent in the middle of the write: avrdude would retry for days.
        QTest::newRow("silent chip") << QStringList{"--quiet-after-pages", "10"} << 4
                                     << "\navrdude was stopped after 4 seconds without finishing.\n" << 10;
    }
    void realAvrdude()
    {
        QFETCH(QStringList, simulator);
        QFETCH(int, limitSeconds);
        QFETCH(QString, says);
        QFETCH(int, pagesWritten);
        Stk500SimProcess sim(simulator);
        // Spaces, colons and shell syntax: the path reaches avrdude verbatim.
        QTemporaryDir dir;
        const QByteArray image = testfiles::randomBytes(32768);
        const QString hex = testfiles::writeFile(dir.filePath("core fw:1 '$(x)'.hex"), toIntelHex(image));
        const int descriptors = processprobe::openDescriptors();
        const QString resources = AvrdudeRunner::defaultResourceDir();
        const QString outcome = run(AvrdudeRunner(resources, std::chrono::seconds(limitSeconds)), hex, sim.portPath());
        QCOMPARE(sim.flash(image.size()), image.left(pagesWritten * 128).leftJustified(image.size(), char(0xFF)));
        QCOMPARE(outcome.startsWith("error: avrdude failed.\n\n"), pagesWritten < 256);
        // avrdude's own words, failed or not: what -v says it was told, argument by argument.
        for (const QString &line : {"System wide configuration file is " + resources + "/avrdude.conf\n",
                                    "Using Port                    : " + sim.portPath() + "\n",
                                    QString("Using Programmer              : arduino\n"),
                                    QString("Overriding Baud Rate          : 115200\n"), says})
            QVERIFY2(outcome.contains(line), qPrintable(line + " not in:\n" + outcome));
        QVERIFY(!outcome.contains("erasing chip")); // -D
        QCOMPARE(processprobe::childrenNamed("avrdude"), 0);
        QCOMPARE(processprobe::openDescriptors(), descriptors);
    }
};

QTEST_GUILESS_MAIN(TestAvrdudeRunner)
#include "test_avrduderunner.moc"
