#pragma once

#include "app/updaterplatform.h"

// The real machine: the system's MIDI, udev's serial ports, the desktop's
// volume folders, the bundled avrdude, message boxes and Qt's file dialog.
UpdaterPlatform systemPlatform();
