#pragma once

#include "usb/midiservice.h"

#include <memory>
#include <mutex>
#include <vector>

typedef struct _snd_seq snd_seq_t;

// MIDI through the ALSA sequencer, where Linux lists USB MIDI devices.
class AlsaMidiService : public MidiService {
public:
    // Nothing when no sequencer can be opened (no /dev/snd/seq, no permission).
    static std::shared_ptr<AlsaMidiService> create();
    ~AlsaMidiService() override;

    std::uint32_t createClient(const QString &name) override;
    int destinationCount() override;
    std::uint32_t destination(int index) override;
    std::optional<QString> stringProperty(std::uint32_t endpoint, MidiProperty key) override;
    void sendSysex(std::shared_ptr<SysexRequest> request) override;
    void setChangeHandler(std::function<void()> handler) override;

    // A sequencer address as one endpoint; never 0, as client 0 (system) is never offered.
    static std::uint32_t endpoint(int client, int port) { return (std::uint32_t(client) << 16) | std::uint32_t(port); }
    static int clientOf(std::uint32_t endpoint) { return int(endpoint >> 16); }
    static int portOf(std::uint32_t endpoint) { return int(endpoint & 0xffff); }

private:
    explicit AlsaMidiService(snd_seq_t *handle);

    void deliver(SysexRequest &request);
    bool writeAndDrain(SysexRequest &request, int client, int port);
    bool portExists(int client, int port);
    void readAnnouncements();

    // The handle serves the caller's thread and the worker.
    std::mutex mutex_;
    snd_seq_t *seq_ = nullptr;
    int outputPort_ = -1;
    int announcePort_ = -1;
    std::vector<std::uint32_t> destinations_;
    std::function<void()> changeHandler_;
    // The thread that sends and reads announcements; last, so it stops
    // before anything its jobs use goes away.
    class Worker;
    std::unique_ptr<Worker> worker_;
};
