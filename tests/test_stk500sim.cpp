// The simulator is only useful if the real avrdude accepts it, so most of
// these run /usr/bin/avrdude against it; the rest pin protocol corners that
// avrdude does not reach on a good day.

#include "stk500target.h"
#include "support/intelhex.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int FlashSize = 32 * 1024;

Bytes feed(Stk500Target &target, const Bytes &in)
{
    Bytes out;
    for (std::uint8_t b : in)
        target.receive(b, out);
    return out;
}

Bytes progPage(char memory, const Bytes &data)
{
    Bytes p(data.size() + 5);
    p[0] = 0x64;
    p[1] = std::uint8_t(data.size() >> 8);
    p[2] = std::uint8_t(data.size());
    p[3] = std::uint8_t(memory);
    std::copy(data.begin(), data.end(), p.begin() + 4);
    p.back() = 0x20;
    return p;
}

Bytes loadAddress(std::uint16_t address)
{
    return {0x55, std::uint8_t(address & 0xFF), std::uint8_t(address >> 8), 0x20};
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(rng.bounded(256));
    return bytes;
}

QByteArray flashImage(const QByteArray &start)
{
    QByteArray image(FlashSize, char(0xFF));
    image.replace(0, start.size(), start);
    return image;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// One simulator process in a private directory.
class Sim
{
public:
    explicit Sim(const QStringList &extraArgs = {})
    {
        linkPath = dir.filePath("ttySIM");
        flashOut = dir.filePath("flash.bin");
        process.setProgram(QStringLiteral(STK500SIM_PATH));
        process.setArguments(QStringList{"--link", linkPath, "--flash-out", flashOut,
                                         "--log", dir.filePath("trace.log")} + extraArgs);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        // The PTY line comes before the first poll(); seconds are plenty.
        QElapsedTimer t;
        t.start();
        while (!process.canReadLine() && t.elapsed() < 5000)
            process.waitForReadyRead(100);
        const QByteArray line = process.readLine().trimmed();
        if (line.startsWith("PTY "))
            slavePath = QString::fromLocal8Bit(line.mid(4));
    }
    ~Sim()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(1000);
        }
    }

    QTemporaryDir dir;
    QProcess process;
    QString linkPath;
    QString flashOut;
    QString slavePath;
};

QStringList writeArgs(const QString &port, const QString &hexPath)
{
    return {"-C", "/etc/avrdude.conf", "-v", "-p", "m328", "-c", "arduino", "-P", port,
            "-b", "115200", "-D", "-U", "flash:w:" + hexPath + ":i"};
}

struct Run
{
    int exitCode = -1;
    bool finished = false;
    QByteArray output;
};

// A good run takes ~1.3 s; 30 s only trips when something hangs.
Run runAvrdude(const QStringList &args, int timeoutMs = 30000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/usr/bin/avrdude"), args);
    Run r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitCode();
    r.output = p.readAll();
    return r;
}

} // namespace

#define REQUIRE_AVRDUDE() \
    if (!QFileInfo::exists("/usr/bin/avrdude") || !QFileInfo::exists("/etc/avrdude.conf")) \
        QSKIP("needs Debian's avrdude")

class TestStk500Sim : public QObject
{
    Q_OBJECT

private slots:
    // Protocol corners, no pty.
    void addressesAreWordsForFlashBytesForEeprom();
    void setDeviceExtTakesItsOwnLength();
    void missingEopAnswersNoSyncAndRecovers();
    void abandonedPacketDoesNotSwallowNextSync();
    void quietAfterPagesStopsAllAnswers();

    // The Intel HEX fixture helpers, where avrdude cannot check them.
    void intelHexAbove64KiB();
    void intelHexRejectsDamage();

    // Against the real avrdude.
    void avrdudeWritesAndVerifies_data();
    void avrdudeWritesAndVerifies();
    void readBackParsesToWrittenImage();
    void servesRunsInARowDespiteJunk();
    void wrongSignatureIsRefused();
    void closeAfterPagesPullsThePlug();
    void quietAfterPagesLeavesAvrdudeWaiting();
};

void TestStk500Sim::addressesAreWordsForFlashBytesForEeprom()
{
    Stk500Target t({0x1e, 0x95, 0x14});
    Bytes page(128);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = std::uint8_t(i);
    QCOMPARE(feed(t, loadAddress(0x40)), (Bytes{0x14, 0x10}));
    QCOMPARE(feed(t, progPage('F', page)), (Bytes{0x14, 0x10}));
    QCOMPARE(int(t.flash().at(0x7F)), 0xFF);
    QCOMPARE(int(t.flash().at(0x80)), 0x00);
    QCOMPARE(int(t.flash().at(0xFF)), 0x7F);

    feed(t, loadAddress(0x40));
    const Bytes read = feed(t, {0x74, 0x00, 0x80, 'F', 0x20});
    QCOMPARE(read.size(), std::size_t(130));
    QCOMPARE(Bytes(read.begin() + 1, read.end() - 1), page);

    feed(t, loadAddress(0x10));
    QCOMPARE(feed(t, progPage('E', {0xAB, 0xCD})), (Bytes{0x14, 0x10}));
    QCOMPARE(int(t.eeprom().at(0x10)), 0xAB);
    QCOMPARE(int(t.eeprom().at(0x11)), 0xCD);
}

void TestStk500Sim::setDeviceExtTakesItsOwnLength()
{
    // Older firmware versions get three extended parameters, newer four.
    Stk500Target t({0x1e, 0x95, 0x14});
    QCOMPARE(feed(t, {0x45, 0x04, 0x80, 0xd7, 0xc2, 0x20}), (Bytes{0x14, 0x10}));
    QCOMPARE(feed(t, {0x45, 0x05, 0x80, 0xd7, 0xc2, 0x01, 0x20}), (Bytes{0x14, 0x10}));
    QCOMPARE(feed(t, {0x75, 0x20}), (Bytes{0x14, 0x1e, 0x95, 0x14, 0x10}));
}

void TestStk500Sim::missingEopAnswersNoSyncAndRecovers()
{
    Stk500Target t({0x1e, 0x95, 0x14});
    QCOMPARE(feed(t, {0x30, 0x00}), (Bytes{0x15}));
    QCOMPARE(feed(t, {0x30, 0x20}), (Bytes{0x14, 0x10}));
    QCOMPARE(feed(t, {0x99, 0x20}), (Bytes{0x12}));
}

void TestStk500Sim::abandonedPacketDoesNotSwallowNextSync()
{
    Stk500Target t({0x1e, 0x95, 0x14});
    QVERIFY(feed(t, {0x64, 0x00, 0x80, 'F', 1, 2, 3}).empty());
    QVERIFY(t.midPacket());
    t.abandonPacket();
    QCOMPARE(feed(t, {0x30, 0x20}), (Bytes{0x14, 0x10}));
    QCOMPARE(t.pagesWritten(), 0);
}

void TestStk500Sim::quietAfterPagesStopsAllAnswers()
{
    Stk500Target t({0x1e, 0x95, 0x14});
    t.goQuietAfterPages(2);
    const Bytes page(128, 0x00);
    for (std::uint16_t p = 0; p < 2; ++p) {
        feed(t, loadAddress(p * 64));
        QCOMPARE(feed(t, progPage('F', page)), (Bytes{0x14, 0x10}));
    }
    QVERIFY(feed(t, {0x30, 0x20}).empty());
    QVERIFY(feed(t, loadAddress(128)).empty());
    QVERIFY(feed(t, progPage('F', page)).empty());
    QCOMPARE(int(t.flash().at(256)), 0xFF);

    Stk500Target silent({0x1e, 0x95, 0x14});
    silent.goQuietAfterPages(0);
    QVERIFY(feed(silent, {0x30, 0x20}).empty());
}

void TestStk500Sim::intelHexAbove64KiB()
{
    const QByteArray bytes = randomBytes(40, 9);
    const QByteArray hex = toIntelHex(bytes, 0xFFF0);
    QVERIFY2(hex.contains("\n:020000040001F9\n"), hex.constData());
    const QByteArray image = parseIntelHexImage(hex, 0x10100, char(0xAA));
    QCOMPARE(image.size(), 0x10100);
    QCOMPARE(image.mid(0xFFF0, 40), bytes);
    QCOMPARE(image.at(0xFFEF), char(0xAA));
    QCOMPARE(image.at(0xFFF0 + 40), char(0xAA));
}

void TestStk500Sim::intelHexRejectsDamage()
{
    const QByteArray good = toIntelHex(randomBytes(64, 5));
    QCOMPARE(parseIntelHexImage(good, 64), randomBytes(64, 5));
    QByteArray badSum = good;
    badSum[9] = badSum[9] == '0' ? '1' : '0'; // a data digit of the first record
    QVERIFY(parseIntelHexImage(badSum, 64).isEmpty());
    QVERIFY(parseIntelHexImage(good.left(good.indexOf(":00000001FF")), 64).isEmpty());
    QVERIFY(parseIntelHexImage(good, 63).isEmpty());
}

void TestStk500Sim::avrdudeWritesAndVerifies_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("full 32 KiB") << FlashSize << "image.hex";
    // A partial last page makes avrdude read that page back before writing it.
    QTest::newRow("300 bytes") << 300 << "image.hex";
    QTest::newRow("space and colon in path") << 1000 << "my dir/fw:1 v2.hex";
}

void TestStk500Sim::avrdudeWritesAndVerifies()
{
    REQUIRE_AVRDUDE();
    QFETCH(int, size);
    QFETCH(QString, fileName);
    Sim sim;
    QVERIFY(!sim.slavePath.isEmpty());
    QVERIFY(QFileInfo(sim.linkPath).isSymLink());
    const QByteArray bytes = randomBytes(size, quint32(size));
    const QString hexPath = sim.dir.filePath(fileName);
    QVERIFY(QDir().mkpath(QFileInfo(hexPath).path()));
    QVERIFY(writeFile(hexPath, toIntelHex(bytes)));

    const Run r = runAvrdude(writeArgs(sim.linkPath, hexPath));
    QVERIFY2(r.finished && r.exitCode == 0, r.output.constData());
    QVERIFY(r.output.contains(QByteArray::number(size) + " bytes of flash verified"));
    QCOMPARE(readFile(sim.flashOut), flashImage(bytes));
}

void TestStk500Sim::readBackParsesToWrittenImage()
{
    REQUIRE_AVRDUDE();
    // avrdude's own hex writer checks our parser; the write above checked
    // our generator against avrdude's reader.
    Sim sim;
    const QByteArray bytes = randomBytes(5000, 7);
    const QString hexPath = sim.dir.filePath("in.hex");
    QVERIFY(writeFile(hexPath, toIntelHex(bytes)));
    Run r = runAvrdude(writeArgs(sim.slavePath, hexPath));
    QVERIFY2(r.exitCode == 0, r.output.constData());

    const QString outPath = sim.dir.filePath("out.hex");
    r = runAvrdude({"-C", "/etc/avrdude.conf", "-p", "m328", "-c", "arduino", "-P", sim.slavePath,
                    "-b", "115200", "-U", "flash:r:" + outPath + ":i"});
    QVERIFY2(r.exitCode == 0, r.output.constData());
    QCOMPARE(parseIntelHexImage(readFile(outPath), FlashSize), flashImage(bytes));
}

void TestStk500Sim::servesRunsInARowDespiteJunk()
{
    REQUIRE_AVRDUDE();
    Sim sim;
    for (int run = 0; run < 4; ++run) {
        if (run == 2) {
            // What a client killed halfway through a packet leaves behind.
            const int fd = ::open(QFile::encodeName(sim.linkPath).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(fd >= 0);
            const char partial[] = {0x64, 0x00, char(0x80), 'F', 1, 2, 3, 4, 5};
            QCOMPARE(::write(fd, partial, sizeof partial), ssize_t(sizeof partial));
            ::close(fd);
        }
        const QByteArray bytes = randomBytes(FlashSize - 128 * run, quint32(100 + run));
        const QString hexPath = sim.dir.filePath("run.hex");
        QVERIFY(writeFile(hexPath, toIntelHex(bytes)));
        const Run r = runAvrdude(writeArgs(sim.linkPath, hexPath));
        QVERIFY2(r.exitCode == 0, qPrintable(QString("run %1: %2").arg(run).arg(QString::fromLocal8Bit(r.output))));
        // Flash persists between runs, so the tail keeps the previous image.
        QCOMPARE(readFile(sim.flashOut).left(bytes.size()), bytes);
    }
}

void TestStk500Sim::wrongSignatureIsRefused()
{
    REQUIRE_AVRDUDE();
    Sim sim({"--signature", "1e:95:0f"});
    const QString hexPath = sim.dir.filePath("image.hex");
    QVERIFY(writeFile(hexPath, toIntelHex(randomBytes(256, 1))));
    const Run r = runAvrdude(writeArgs(sim.linkPath, hexPath));
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.output.contains("device signature = 0x1e950f"), r.output.constData());
    QVERIFY(r.output.contains("expected signature for ATmega328 is 1E 95 14"));
    QCOMPARE(readFile(sim.flashOut), QByteArray(FlashSize, char(0xFF)));
}

void TestStk500Sim::closeAfterPagesPullsThePlug()
{
    REQUIRE_AVRDUDE();
    Sim sim({"--close-after-pages", "3"});
    const QByteArray bytes = randomBytes(FlashSize, 3);
    const QString hexPath = sim.dir.filePath("image.hex");
    QVERIFY(writeFile(hexPath, toIntelHex(bytes)));

    QProcess avrdude;
    avrdude.setProcessChannelMode(QProcess::MergedChannels);
    avrdude.start("/usr/bin/avrdude", writeArgs(sim.linkPath, hexPath));
    // Sync takes ~1.3 s; the plug is pulled right after the third page.
    QVERIFY(sim.process.waitForFinished(15000));
    QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(sim.linkPath) && !QFileInfo(sim.linkPath).isSymLink());
    QCOMPARE(readFile(sim.flashOut), flashImage(bytes.left(3 * 128)));

    // avrdude 7.1 spins on the hung-up port instead of exiting.
    QVERIFY(!avrdude.waitForFinished(1000));
    avrdude.kill();
    avrdude.waitForFinished(5000);
}

void TestStk500Sim::quietAfterPagesLeavesAvrdudeWaiting()
{
    REQUIRE_AVRDUDE();
    Sim sim({"--quiet-after-pages", "2"});
    const QByteArray bytes = randomBytes(FlashSize, 4);
    const QString hexPath = sim.dir.filePath("image.hex");
    QVERIFY(writeFile(hexPath, toIntelHex(bytes)));

    QProcess avrdude;
    avrdude.setProcessChannelMode(QProcess::MergedChannels);
    avrdude.start("/usr/bin/avrdude", writeArgs(sim.linkPath, hexPath));
    // Sync takes ~1.3 s, then two pages go through.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(sim.flashOut), flashImage(bytes.left(2 * 128)), 15000);
    // avrdude's serial timeout is 5 s; then it retries byte by byte.
    QByteArray output;
    QElapsedTimer t;
    t.start();
    while (!output.contains("programmer is not responding") && t.elapsed() < 10000) {
        avrdude.waitForReadyRead(500);
        output += avrdude.readAll();
    }
    QVERIFY2(output.contains("programmer is not responding"), output.constData());
    QCOMPARE(avrdude.state(), QProcess::Running);
    QCOMPARE(sim.process.state(), QProcess::Running);
    QVERIFY(QFileInfo(sim.linkPath).isSymLink());
    QCOMPARE(readFile(sim.flashOut), flashImage(bytes.left(2 * 128)));
    avrdude.kill();
    avrdude.waitForFinished(5000);
}

QTEST_GUILESS_MAIN(TestStk500Sim)
#include "test_stk500sim.moc"
