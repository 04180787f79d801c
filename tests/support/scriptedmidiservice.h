#pragma once

#include "usb/midiservice.h"

#include <QList>
#include <QStringList>

#include <functional>

// A MIDI system with the destinations a test lists, in that order. Sends are
// recorded and complete at once, or never when `completeSends` is false.
class ScriptedMidiService : public MidiService {
public:
    struct Destination {
        std::uint32_t endpoint = 0;
        std::optional<QString> displayName;
        std::optional<QString> name;
    };

    // Destinations with only a display name, endpoints 1, 2, 3...
    explicit ScriptedMidiService(const QStringList &displayNames = {})
    {
        for (const QString &name : displayNames)
            destinations.append({std::uint32_t(destinations.size() + 1), name, std::nullopt});
    }

    std::uint32_t createClient(const QString &name) override
    {
        clientName = name;
        return clientHandle;
    }
    int destinationCount() override { return int(destinations.size()); }
    std::uint32_t destination(int index) override
    {
        return index >= 0 && index < destinations.size() ? destinations.at(index).endpoint : 0;
    }
    std::optional<QString> stringProperty(std::uint32_t endpoint, MidiProperty key) override
    {
        for (const Destination &d : std::as_const(destinations)) {
            if (d.endpoint == endpoint)
                return key == MidiProperty::displayName ? d.displayName : d.name;
        }
        return std::nullopt;
    }
    void sendSysex(std::shared_ptr<SysexRequest> request) override
    {
        sent.append(request);
        request->complete = completeSends;
        if (completeSends && onSend)
            onSend();
    }

    QList<Destination> destinations;
    QList<std::shared_ptr<SysexRequest>> sent;
    bool completeSends = true;
    // What the device does when it has a message: restart, say.
    std::function<void()> onSend;
    std::uint32_t clientHandle = 7;
    QString clientName;
};
