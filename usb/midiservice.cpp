#include "usb/midiservice.h"

#include "usb/alsamidiservice.h"
#include "usb/jackmidiservice.h"

std::shared_ptr<MidiService> createSystemMidiService()
{
    if (auto alsa = AlsaMidiService::create())
        return alsa;
    // A JACK service without a server simply has no destinations, and picks
    // up a server that starts later.
    return std::make_shared<JackMidiService>();
}
