#pragma once

#include "core/avrduderunner.h"
#include "usb/bootdrive.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class AlertPresenter;
class BootDriveQuestion;
class FileChooser;
class MidiService;
class SerialRegistry;
class VolumeService;

// Everything the updater reaches outside itself. The program's entry
// assembles the real machine (systemPlatform()); tests swap single pieces.
struct UpdaterPlatform {
    // How long an upload waits for the boot drive after the update command.
    static constexpr double defaultBootDriveTimeoutSeconds = 20.0;
    // How long after the copy the boot loader has to restart, which is the
    // sign that it took the image.
    static constexpr double defaultRestartTimeoutSeconds = 10.0;

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
    std::shared_ptr<BootDriveQuestion> bootDriveQuestion;
    // What a mounted drive must be to count as a boot drive.
    std::function<bool(const QString &mountPoint)> isBootFileSystem = isFatFileSystem;
    double restartTimeoutSeconds = defaultRestartTimeoutSeconds;
};
