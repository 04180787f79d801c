#include "support/jackserver.h"
#include "support/simdevice.h"
#include "usb/jackmidiservice.h"

#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::vector<std::uint8_t> updateCommand{0xF0, 0x7D, 0x56, 0x4C, 0x32, 0x56, 0x45,
                                              0x4C, 0x54, 0x41, 0x32, 0x01, 0xF7};
const QString updateCommandHex = QStringLiteral("F0 7D 56 4C 32 56 45 4C 54 41 32 01 F7");
const QString devicePort = QStringLiteral("VELTA 2:MIDI 1");

std::shared_ptr<SysexRequest> updateRequest(std::uint32_t destination)
{
    auto request = std::make_shared<SysexRequest>();
    request->destination = destination;
    request->data = updateCommand;
    return request;
}

std::uint32_t findDestination(MidiService &midi, const QString &displayName)
{
    const int count = midi.destinationCount();
    for (int index = 0; index < count; ++index) {
        const std::uint32_t endpoint = midi.destination(index);
        if (midi.stringProperty(endpoint, MidiProperty::displayName) == displayName)
            return endpoint;
    }
    return 0;
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Milliseconds until `request` completes, or -1 after `limitMs`. Polls
// tightly so the figure is the send's, not the poll's.
double msUntilComplete(const SysexRequest &request, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!request.complete) {
        if (timer.elapsed() > limitMs)
            return -1;
        std::this_thread::sleep_for(200us);
    }
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

class TestJackMidiService : public QObject {
    Q_OBJECT

private slots:
    void followsServerThatStartsLaterAndComesBack();
    void destroyedWithASendInFlight();
};

void TestJackMidiService::followsServerThatStartsLaterAndComesBack()
{
    JackServer server;
    JackMidiService midi(server.name());
    QCOMPARE(midi.createClient(QStringLiteral("VeltaUpdater")), 0u);

    QVERIFY2(server.start(), qPrintable(server.log()));
    SimDevice device;
    QVERIFY2(device.start({QStringLiteral("--server"), server.name()}), qPrintable(device.log()));
    const std::uint32_t endpoint = findDestination(midi, devicePort);
    QVERIFY(endpoint != 0);

    server.stop();
    QTRY_COMPARE_WITH_TIMEOUT(midi.destinationCount(), 0, 5000);

    QVERIFY2(server.start(), qPrintable(server.log()));
    SimDevice again;
    QVERIFY2(again.start({QStringLiteral("--server"), server.name()}), qPrintable(again.log()));
    QCOMPARE(findDestination(midi, devicePort), endpoint);
    const auto request = updateRequest(endpoint);
    midi.sendSysex(request);
    QVERIFY(msUntilComplete(*request, 5000) >= 0);
    QVERIFY(again.waitFor([&] { return !again.received().isEmpty(); }, 5000));
    QCOMPARE(again.received(), QStringList{updateCommandHex});
}

void TestJackMidiService::destroyedWithASendInFlight()
{
    // On a live server, and on a frozen one, whose round trips never
    // return: either way the service ends within a bound and leaves no
    // thread behind, its own or libjack's.
    for (const bool frozen : {false, true}) {
        JackServer server;
        SimDevice device;
        QVERIFY2(server.start() && device.start({QStringLiteral("--server"), server.name()}),
                 qPrintable(server.log() + device.log()));
        const int before = threadCount();
        auto midi = std::make_unique<JackMidiService>(server.name());
        QVERIFY(midi->createClient(QStringLiteral("VeltaUpdater")) != 0);
        const std::uint32_t endpoint = findDestination(*midi, devicePort);
        QVERIFY(endpoint != 0);
        QVERIFY(threadCount() > before);
        if (frozen)
            server.freeze();
        const auto request = updateRequest(endpoint);
        midi->sendSysex(request);
        QTest::qWait(frozen ? 200 : 0);
        QElapsedTimer timer;
        timer.start();
        midi.reset();
        const qint64 destroyMs = timer.elapsed();
        qInfo("%s server: destroyed in %lld ms", frozen ? "frozen" : "live", destroyMs);
        QVERIFY2(destroyMs < 3000, qPrintable(QString::number(destroyMs)));
        QCOMPARE(threadCount(), before);
        server.thaw();
    }
}

QTEST_GUILESS_MAIN(TestJackMidiService)
#include "test_jackmidiservice.moc"
