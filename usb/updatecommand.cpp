#include "usb/updatecommand.h"

#include "base/updatererror.h"
#include "usb/midiservice.h"

#include <algorithm>
#include <array>

// 7D (the non-commercial manufacturer ID), "VL2VELTA2", 01 (update).
const std::array<std::uint8_t, 11> updateCommandBody{
    0x7D, 'V', 'L', '2', 'V', 'E', 'L', 'T', 'A', '2', 0x01,
};

std::vector<std::uint8_t> buildUpdateCommand()
{
    std::vector<std::uint8_t> message;
    message.reserve(updateCommandBody.size() + 2);
    message.push_back(0xF0);
    message.insert(message.end(), updateCommandBody.begin(), updateCommandBody.end());
    message.push_back(0xF7);
    return message;
}

Task<void> sendUpdateCommand(std::shared_ptr<MidiService> midi, QList<MIDIDeviceChoice> destinations,
                             QString name, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;

    const auto match = std::find_if(destinations.begin(), destinations.end(),
                                    [&](const MIDIDeviceChoice &choice) {
                                        return choice.displayName.normalized(QString::NormalizationForm_C)
                                            == name.normalized(QString::NormalizationForm_C);
                                    });
    if (!midi || match == destinations.end())
        throw UpdaterError::midiDestinationNotFound(name);

    // The service shares ownership, so the request and its bytes outlive a
    // time-out while the send may still be pending.
    auto request = std::make_shared<SysexRequest>();
    request->destination = match->endpoint;
    request->data = buildUpdateCommand();
    midi->sendSysex(request);

    const auto deadline = Clock::now() + limit;
    while (!request->complete.load()) {
        if (Clock::now() >= deadline)
            break;
        co_await pauseFor(std::chrono::milliseconds(10));
    }
    if (!request->complete.load())
        throw UpdaterError::sysexSendFailed(name);
}
