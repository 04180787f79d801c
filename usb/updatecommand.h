#pragma once

#include "usb/mididiscovery.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

// 7D (the non-commercial manufacturer ID), "VL2VELTA2", 01 (update).
extern const std::array<std::uint8_t, 11> updateCommandBody;

// F0, the body, F7: made afresh for every send.
std::vector<std::uint8_t> buildUpdateCommand();

// Sends the update command to the destination named exactly `name` (case
// and blanks count) and waits up to `limit` for the service to report the
// bytes gone. Throws midiDestinationNotFound (nothing sent) or sysexSendFailed.
// Holds its caller for the wait: it sleeps in 10 ms slices and services no
// events, so nothing posted meanwhile can run inside an upload step.
void sendUpdateCommand(MidiService &midi, const QList<MIDIDeviceChoice> &destinations,
                       const QString &name,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(2000));
