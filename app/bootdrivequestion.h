#pragma once

#include <QString>

// Asked when Upload finds no MIDI device but a UF2 boot drive: a VELTA left
// in its boot loader (a cut cable, a late drive) has no MIDI port, and this
// is its way back. The window supplies the real question.
class BootDriveQuestion {
public:
    virtual ~BootDriveQuestion() = default;
    // Modal; true when the user chose to copy the firmware onto the drive at `folder`.
    virtual bool copyOntoDrive(const QString &folder) = 0;
};
