#pragma once

#include "base/task.h"
#include "usb/mididiscovery.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

// F0, the body, F7: made afresh for every send.
std::vector<std::uint8_t> buildUpdateCommand();

// Sends the update command to the destination named exactly `name` (case
// and blanks count) and waits up to `limit` for the service to report the
// bytes gone. Throws midiDestinationNotFound (nothing sent) or sysexSendFailed.
// The wait looks every 10 ms and gives the main thread up in between, so the
// window goes on drawing while a device that is gone keeps it waiting.
Task<void> sendUpdateCommand(std::shared_ptr<MidiService> midi, QList<MIDIDeviceChoice> destinations,
                             QString name, std::chrono::milliseconds limit = std::chrono::milliseconds(2000));
