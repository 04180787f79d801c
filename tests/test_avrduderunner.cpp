// The Core firmware runner, against the real bundled avrdude and the
// simulated bootloader, and against small stand-in tools for the odd cases.
#include "base/updatererror.h"
#include "core/avrdudeprogress.h"
#include "core/avrduderunner.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace testfiles;

namespace {

const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

// A resources folder holding a stand-in "avrdude" script and a config.
struct StandIn {
    explicit StandIn(const QByteArray &script, bool withConfig = true)
    {
        if (!script.isNull())
            writeFile(dir.filePath("avrdude"), "#!/bin/sh\n" + script, executable);
        if (withConfig)
            writeFile(dir.filePath("avrdude.conf"), "# config\n");
    }
    QString marker() const { return dir.filePath("started"); }
    QTemporaryDir dir;
};

struct Outcome {
    QString output;
    QString error; // errorDescription(), empty on success
    std::optional<UpdaterError::Kind> kind;
};

Outcome run(const AvrdudeRunner &runner, const QString &firmware, const QString &port)
{
    try {
        return {runner.run(firmware, port), QString(), std::nullopt};
    } catch (const UpdaterError &error) {
        return {QString(), error.errorDescription(), error.kind()};
    }
}

} // namespace

class TestAvrdudeRunner : public QObject {
    Q_OBJECT
private slots:
    void progressFollowsTheBarsHoweverTheStreamIsCut()
    {
        // avrdude's standard error without a terminal: a read (no verify line
        // before it), the write, and the read that verifies, cut short.
        const QByteArray stream = "\nReading | " + QByteArray(50, '#') + " | 100% 0.01s\n\n"
                                  "avrdude: writing 4096 bytes flash ...\n\nWriting | " + QByteArray(50, '#')
                                  + " | 100% 0.52s\n\navrdude: verifying flash memory against a.hex\n\nReading | "
                                  + QByteArray(3, '#') + " | 100% 0.20s\n\navrdude done.  Thank you.\n";
        QList<AvrdudeProgress> whole = AvrdudeProgressParser().feed(stream);
        QList<AvrdudeProgress> bytewise;
        AvrdudeProgressParser parser;
        for (char c : stream)
            bytewise += parser.feed(QByteArray(1, c));
        QCOMPARE(bytewise, whole);
        QCOMPARE(whole.size(), 51 + 51 + 5);
        QCOMPARE(whole.at(0), (AvrdudeProgress{AvrdudePhase::reading, 0}));
        QCOMPARE(whole.at(51 + 25), (AvrdudeProgress{AvrdudePhase::writing, 50}));
        QCOMPARE(whole.at(51 + 51 + 3), (AvrdudeProgress{AvrdudePhase::verifying, 6}));
        QCOMPARE(whole.last(), (AvrdudeProgress{AvrdudePhase::verifying, 100}));
    }

    void joiningRule()
    {
        QCOMPARE(joinToolOutput("out\n", "err\n"), QStringLiteral("out\n\nerr\n"));
        QCOMPARE(joinToolOutput("", "err\n"), QStringLiteral("err\n"));
        QCOMPARE(joinToolOutput("out", ""), QStringLiteral("out"));
        QCOMPARE(joinToolOutput("", ""), QString());
        QCOMPARE(joinToolOutput("bad \xff\xfe bytes", "err"), QStringLiteral("err"));
        QCOMPARE(joinToolOutput("caf\xc3\xa9", "\xc3"), QStringLiteral("café"));
    }

    void argumentsReachTheToolVerbatim()
    {
        StandIn tool("for a in \"$@\"; do printf '%s\\n' \"$a\"; done\n");
        const QString firmware = tool.dir.filePath("my fw: \"v2\" $(reboot) 'x'.hex");
        const QString port = "/dev/tty ACM0;ls";
        const Outcome outcome = run(AvrdudeRunner(tool.dir.path()), firmware, port);
        QCOMPARE(outcome.error, QString());
        const QStringList expected{"-C", tool.dir.filePath("avrdude.conf"), "-v", "-p", "m328", "-c", "arduino",
                                   "-P", port, "-b", "115200", "-D", "-U", "flash:w:" + firmware + ":i"};
        QCOMPARE(outcome.output, expected.join('\n') + '\n');
        QCOMPARE(avrdudeArguments(tool.dir.filePath("avrdude.conf"), port, firmware), expected);
    }

    void checksRunInOrderAndStartNothing_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("withConfig");
        QTest::addColumn<bool>("toolExecutable");
        QTest::addColumn<QString>("expected");
        const QByteArray touch = "touch \"$(dirname \"$0\")/started\"\n";
        QTest::newRow("both missing") << QByteArray() << false << true
                                      << "The bundled update tool 'avrdude' could not be found in the app resources.";
        QTest::newRow("config missing") << touch << false << true
                                        << "The bundled update tool 'avrdude.conf' could not be found in the app resources.";
        QTest::newRow("not executable") << touch << true << false
                                        << "The bundled update tool 'avrdude' is not executable.";
    }
    void checksRunInOrderAndStartNothing()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, withConfig);
        QFETCH(bool, toolExecutable);
        QFETCH(QString, expected);
        StandIn tool(script, withConfig);
        if (!toolExecutable)
            QVERIFY(QFile::setPermissions(tool.dir.filePath("avrdude"), QFile::ReadOwner | QFile::WriteOwner));
        QCOMPARE(run(AvrdudeRunner(tool.dir.path()), "fw.hex", "/dev/ttyACM0").error, expected);
        QVERIFY(!QFileInfo::exists(tool.marker()));
    }

    void unreadableConfigCountsAsMissing()
    {
        StandIn tool("touch \"$(dirname \"$0\")/started\"\n");
        QVERIFY(QFile::setPermissions(tool.dir.filePath("avrdude.conf"), QFile::WriteOwner));
        const QString expected = "The bundled update tool 'avrdude.conf' could not be found in the app resources.";
        if (geteuid() != 0) {
            QCOMPARE(run(AvrdudeRunner(tool.dir.path()), "fw.hex", "/dev/ttyACM0").error, expected);
            QVERIFY(!QFileInfo::exists(tool.marker()));
            return;
        }
        // Root reads everything, so the check runs in a child as "nobody".
        QVERIFY(::chmod(QFile::encodeName(tool.dir.path()).constData(), 0755) == 0);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            const Outcome outcome = run(AvrdudeRunner(tool.dir.path()), "fw.hex", "/dev/ttyACM0");
            _exit(outcome.error == expected ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(!QFileInfo::exists(tool.marker()));
    }

    void startFailureCarriesTheSystemReason()
    {
        StandIn tool{QByteArray()};
        writeFile(tool.dir.filePath("avrdude"), QByteArray("\x7f" "ELF garbage", 12), executable);
        const Outcome outcome = run(AvrdudeRunner(tool.dir.path()), "fw.hex", "/dev/ttyACM0");
        QCOMPARE(outcome.kind, UpdaterError::Kind::avrdudeFailed);
        QVERIFY2(outcome.error.startsWith("avrdude failed.\n\nCould not start bundled avrdude.\n\n"), qPrintable(outcome.error));
        QVERIFY(outcome.error.size() > int(strlen("avrdude failed.\n\nCould not start bundled avrdude.\n\n")));
    }

    void exitStatusDecides_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("error");
        QTest::newRow("success, silent") << QByteArray("exit 0\n") << "" << "";
        QTest::newRow("failure, silent") << QByteArray("exit 1\n") << "" << "avrdude failed.\n\navrdude failed.";
        QTest::newRow("failure with output") << QByteArray("echo out; echo err >&2; exit 2\n") << ""
                                             << "avrdude failed.\n\nout\n\nerr\n";
        QTest::newRow("killed by a signal") << QByteArray("echo partial >&2; kill -9 $$\n") << ""
                                            << "avrdude failed.\n\npartial\n";
    }
    void exitStatusDecides()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, output);
        QFETCH(QString, error);
        StandIn tool(script);
        const Outcome outcome = run(AvrdudeRunner(tool.dir.path()), "fw.hex", "/dev/ttyACM0");
        QCOMPARE(outcome.error, error);
        QCOMPARE(outcome.output, output);
    }

    void lotsOfOutputNeverStallsTheTool()
    {
        // 10 MB on standard error outgrows any pipe buffer many times over;
        // standard output is not UTF-8 and so drops out.
        StandIn tool("printf 'bad \\377\\376 bytes'; head -c 10485760 /dev/zero | tr '\\0' e >&2\n");
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = run(AvrdudeRunner(tool.dir.path(), 60s), "fw.hex", "/dev/ttyACM0");
        QCOMPARE(outcome.error, QString());
        QCOMPARE(outcome.output.size(), 10485760);
        QVERIFY(outcome.output.startsWith("eeee") && outcome.output.endsWith("eeee"));
        qInfo("10 MB of output collected in %lld ms", clock.elapsed());
    }

    void realAvrdudeWritesTheSimulatedFlash()
    {
        Stk500SimProcess sim;
        QVERIFY(sim.isRunning());
        // Spaces and a colon in the path: it must reach avrdude as one argument.
        QDir folder(sim.dirPath());
        QVERIFY(folder.mkpath("firmware dir:v2"));
        const QString hexPath = folder.filePath("firmware dir:v2/core fw:1.hex");
        const QByteArray image = randomBytes(32 * 1024);
        writeFile(hexPath, toIntelHex(image));

        const Outcome outcome = run(AvrdudeRunner(), hexPath, sim.portPath());
        QVERIFY2(outcome.error.isEmpty(), qPrintable(outcome.error));
        QVERIFY2(outcome.output.contains("32768 bytes of flash verified"), qPrintable(outcome.output));
        QCOMPARE(sim.flash(image.size()), image);
    }

    void realAvrdudeFailuresCarryItsOutput()
    {
        Stk500SimProcess wrongChip({"--signature", "1e:95:0f"});
        QTemporaryDir dir;
        writeFile(dir.filePath("fw.hex"), toIntelHex(randomBytes(1024)));
        const Outcome outcome = run(AvrdudeRunner(), dir.filePath("fw.hex"), wrongChip.portPath());
        QCOMPARE(outcome.kind, UpdaterError::Kind::avrdudeFailed);
        QVERIFY(outcome.error.startsWith("avrdude failed.\n\n"));
        QVERIFY2(outcome.error.contains("expected signature for ATmega328 is 1E 95 14"), qPrintable(outcome.error));
        QCOMPARE(wrongChip.flash(1024), QByteArray(1024, char(0xFF)));
    }

    void aToolThatHangsIsStoppedAtTheLimit()
    {
        // Quiet in the middle of the write: avrdude would retry for days.
        Stk500SimProcess stuck({"--quiet-after-pages", "10"});
        QTemporaryDir dir;
        writeFile(dir.filePath("fw.hex"), toIntelHex(randomBytes(8 * 1024)));
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = run(AvrdudeRunner(AvrdudeRunner::defaultResourceDir(), 4s), dir.filePath("fw.hex"),
                                    stuck.portPath());
        QCOMPARE(outcome.kind, UpdaterError::Kind::avrdudeFailed);
        QVERIFY(clock.elapsed() >= 4000 && clock.elapsed() < 15000);
        QVERIFY2(outcome.error.contains("Version 7"), qPrintable(outcome.error));
        QVERIFY2(outcome.error.endsWith("\navrdude was stopped after 4 seconds without finishing.\n"), qPrintable(outcome.error));
        QCOMPARE(processprobe::childrenNamed("avrdude"), 0);
        QCOMPARE(processprobe::children().size(), 1); // the simulator
    }
};

QTEST_GUILESS_MAIN(TestAvrdudeRunner)
#include "test_avrduderunner.moc"
