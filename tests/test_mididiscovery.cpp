#include "support/scriptedmidiservice.h"
#include "base/textcompare.h"
#include "usb/mididiscovery.h"

#include <QTest>

namespace {

QStringList names(const QList<MIDIDeviceChoice> &choices)
{
    QStringList result;
    for (const MIDIDeviceChoice &c : choices)
        result << c.displayName;
    return result;
}

QString preferred(const QStringList &destinationNames)
{
    ScriptedMidiService midi(destinationNames);
    return preferredPortName(names(discoverMIDIDestinations(midi)), preferredMIDIKeywords).value_or("<none>");
}

} // namespace

class TestMidiDiscovery : public QObject {
    Q_OBJECT
private slots:
    void sortedIgnoringCase()
    {
        ScriptedMidiService midi({"Synth", "VELTA 2", "Keys", "drum 10", "drum 9"});
        QCOMPARE(names(discoverMIDIDestinations(midi)), QStringList({"drum 10", "drum 9", "Keys", "Synth", "VELTA 2"}));
    }

    void namesComeFromDisplayNameThenName()
    {
        ScriptedMidiService midi;
        midi.destinations = {
            {1, std::nullopt, QString("Fallback")},   // no display name: the other name
            {2, QString(""), QString("Hidden")},      // empty display name: skipped
            {3, std::nullopt, std::nullopt},          // no name at all: skipped
            {0, QString("Zero"), std::nullopt},       // no endpoint: skipped
            {5, QString("  "), std::nullopt},         // blanks are a name
        };
        const QList<MIDIDeviceChoice> found = discoverMIDIDestinations(midi);
        QCOMPARE(names(found), QStringList({"  ", "Fallback"}));
        QCOMPARE(found.at(1).endpoint, 1u);
    }

    void duplicatesKeepTheLowestIndex()
    {
        ScriptedMidiService midi({"Port", "keys", "Port", "Keys", "Caf\u00e9", "Cafe\u0301"});
        const QList<MIDIDeviceChoice> found = discoverMIDIDestinations(midi);
        // Case counts, canonical equivalence doesn't; equal-ranked names keep
        // their enumeration order.
        QCOMPARE(names(found), QStringList({"Caf\u00e9", "keys", "Keys", "Port"}));
        QCOMPARE(found.at(0).endpoint, 5u);
        QCOMPARE(found.at(3).endpoint, 1u);
        QVERIFY(found.at(0).id != discoverMIDIDestinations(midi).at(0).id);
    }

    void preference_data()
    {
        QTest::addColumn<QStringList>("destinations");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QStringList() << "<none>";
        QTest::newRow("device among others") << QStringList({"Synth", "VELTA 2", "Keys"}) << "VELTA 2";
        QTest::newRow("first keyword wins over list order")
            << QStringList({"VELTA2 Port", "USBVELTA2 MIDI 1"}) << "USBVELTA2 MIDI 1";
        QTest::newRow("first keyword wins, other order")
            << QStringList({"USBVELTA2 MIDI 1", "VELTA2 Port"}) << "USBVELTA2 MIDI 1";
        QTest::newRow("two matches: first sorted") << QStringList({"usbvelta2 b", "USBVELTA2 a"}) << "USBVELTA2 a";
        QTest::newRow("case-insensitive keyword") << QStringList({"Alpha", "velta 2 midi 1"}) << "velta 2 midi 1";
        QTest::newRow("no match: first sorted") << QStringList({"Synth", "Keys"}) << "Keys";
    }
    void preference()
    {
        QFETCH(QStringList, destinations);
        QFETCH(QString, expected);
        QCOMPARE(preferred(destinations), expected);
        QCOMPARE(preferredPortName({"b", "a"}, {}), std::optional<QString>("b"));
    }
};

QTEST_GUILESS_MAIN(TestMidiDiscovery)
#include "test_mididiscovery.moc"
