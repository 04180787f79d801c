#pragma once

#include "usb/midiservice.h"

#include <memory>
#include <vector>

// MIDI through the ALSA sequencer.
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

    // A sequencer address as one endpoint; never 0, as client 0 (system) is never offered.
    static std::uint32_t endpoint(int client, int port) { return (std::uint32_t(client) << 16) | std::uint32_t(port); }
    static int clientOf(std::uint32_t endpoint) { return int(endpoint >> 16); }
    static int portOf(std::uint32_t endpoint) { return int(endpoint & 0xffff); }

private:
    struct Sequencer;
    explicit AlsaMidiService(std::shared_ptr<Sequencer> sequencer);

    // Shared with the send threads, which may outlive the service.
    std::shared_ptr<Sequencer> sequencer_;
    std::vector<std::uint32_t> destinations_;
};
