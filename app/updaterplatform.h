#pragma once

#include "core/avrduderunner.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class AlertPresenter;
class FileChooser;
class MidiService;
class SerialRegistry;
class VolumeService;

// Everything the updater reaches outside itself. The program's entry
// assembles the real machine (systemPlatform()); tests swap single pieces.
struct UpdaterPlatform {
    // How long an upload waits for the boot drive after the update command.
    static constexpr double defaultBootDriveTimeoutSeconds = 20.0;

    std::shared_ptr<MidiService> midi;
    std::shared_ptr<SerialRegistry> serialRegistry;
    QStringList volumeRoots;
    // Asked for the boot drive when the volume folders don't show it; none
    // means the folders alone.
    std::shared_ptr<VolumeService> volumeService;
    AvrdudeRunner avrdude;
    std::shared_ptr<AlertPresenter> alerts;
    std::shared_ptr<FileChooser> fileChooser;
    // Where the programmer's output goes after a successful Core update.
    std::function<void(const QString &)> writeStandardOutput;
    double bootDriveTimeoutSeconds = defaultBootDriveTimeoutSeconds;
};
