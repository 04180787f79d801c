#include "usb/midiservice.h"

#include "usb/alsamidiservice.h"
#include "usb/jackmidiservice.h"

std::uint32_t endpointAt(const std::vector<std::uint32_t> &listing, int index)
{
    return index >= 0 && index < int(listing.size()) ? listing[std::size_t(index)] : 0;
}

std::shared_ptr<MidiService> createSystemMidiService()
{
    if (auto alsa = AlsaMidiService::create())
        return alsa;
    // A JACK service without a server simply has no destinations, and picks
    // up a server that starts later.
    return std::make_shared<JackMidiService>();
}
