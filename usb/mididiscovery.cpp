#include "usb/mididiscovery.h"

#include "base/textcompare.h"
#include "usb/midiservice.h"

#include <QSet>

#include <algorithm>

const QStringList preferredMIDIKeywords{
    QStringLiteral("USBVELTA2"),
    QStringLiteral("VELTA2"),
    QStringLiteral("VELTA 2"),
};

namespace {

QString destinationName(MidiService &midi, std::uint32_t endpoint)
{
    // A display name that reads successfully wins even when it is empty.
    if (auto name = midi.stringProperty(endpoint, MidiProperty::displayName))
        return *name;
    if (auto name = midi.stringProperty(endpoint, MidiProperty::name))
        return *name;
    return {};
}

} // namespace

QList<MIDIDeviceChoice> discoverMIDIDestinations(MidiService &midi)
{
    QList<MIDIDeviceChoice> unique;
    // Canonically equivalent spellings count as the same name.
    QSet<QString> seen;
    const int count = midi.destinationCount();
    for (int index = 0; index < count; ++index) {
        const std::uint32_t endpoint = midi.destination(index);
        if (endpoint == 0)
            continue;
        const QString name = destinationName(midi, endpoint);
        const QString key = name.normalized(QString::NormalizationForm_C);
        if (name.isEmpty() || seen.contains(key))
            continue;
        seen.insert(key);
        unique.append({QUuid::createUuid(), endpoint, name});
    }

    std::stable_sort(unique.begin(), unique.end(),
                     [](const MIDIDeviceChoice &a, const MIDIDeviceChoice &b) {
                         return localizedCaseInsensitiveCompare(a.displayName, b.displayName) < 0;
                     });
    return unique;
}
