#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <cstdint>
#include <optional>

class MidiService;

// One offered MIDI destination. `id` is new on every discovery; selections
// are held by display name, never by id.
struct MIDIDeviceChoice {
    QUuid id;
    std::uint32_t endpoint = 0;
    QString displayName;
};

extern const QStringList preferredMIDIKeywords;

// The destinations of `midi`, named (display name, else name), without
// nameless ones and duplicates, sorted by name. Never fails.
QList<MIDIDeviceChoice> discoverMIDIDestinations(MidiService &midi);
