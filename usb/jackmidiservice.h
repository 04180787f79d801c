#pragma once

#include "usb/midiservice.h"
#include "usb/serviceworker.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <condition_variable>
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
    void setChangeHandler(std::function<void()> handler) override;

private:
    struct Client;
    struct Notices;

    // The open client, asking the worker to open one when it is missing or
    // its server went away; waits for that at most serverWait.
    std::shared_ptr<Client> liveClient();
    void open();
    std::uint32_t endpointFor(const QString &portName);

    const QString serverName_;
    const std::shared_ptr<Notices> notices_;

    // Guards everything below; held only briefly, never across a server call.
    std::mutex mutex_;
    std::condition_variable openFinished_;
    bool openPending_ = false;
    QString clientName_;
    std::shared_ptr<Client> client_;
    std::uint32_t clientHandle_ = 0;
    // Endpoint n is portNames_[n - 1]; a name keeps its endpoint for the
    // service's lifetime, so a port that comes back gets the same one.
    QStringList portNames_;
    QHash<QString, std::uint32_t> endpoints_;
    std::vector<std::uint32_t> destinations_;

    // Every server round trip (open, connect, send, close) happens here, so
    // a server that stops answering holds up no caller. Last, so it stops
    // before anything its jobs use goes away.
    ServiceWorker worker_;
};
