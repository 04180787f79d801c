#pragma once

#include "usb/midiservice.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <vector>

// MIDI through a running JACK server; never starts one. Without a server it
// has no destinations and tries again on every destinationCount().
class JackMidiService : public MidiService {
public:
    // An empty name means the default server.
    explicit JackMidiService(QString serverName = {});
    ~JackMidiService() override;

    std::uint32_t createClient(const QString &name) override;
    int destinationCount() override;
    std::uint32_t destination(int index) override;
    std::optional<QString> stringProperty(std::uint32_t endpoint, MidiProperty key) override;
    void sendSysex(std::shared_ptr<SysexRequest> request) override;

private:
    struct Client;
    struct Opening;

    // The open client, reopening it when it is missing or its server went away.
    std::shared_ptr<Client> liveClient();
    std::uint32_t endpointFor(const QString &portName);

    const QString serverName_;

    // One reopen at a time; it waits for the server, bounded, without mutex_.
    std::mutex openMutex_;
    std::shared_ptr<Opening> opening_;

    // Guards everything below; held only briefly.
    std::mutex mutex_;
    QString clientName_;
    std::shared_ptr<Client> client_;
    std::uint32_t clientHandle_ = 0;
    // Endpoint n is portNames_[n - 1]; a name keeps its endpoint for the
    // service's lifetime, so a port that comes back gets the same one.
    QStringList portNames_;
    QHash<QString, std::uint32_t> endpoints_;
    std::vector<std::uint32_t> destinations_;
};
