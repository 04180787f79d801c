#pragma once

#include <QString>

#include <optional>

// The desktop's disk service, asked for the boot drive when no volume folder
// shows it: a drive that nothing has mounted (no automounter, a locked
// screen) can still be mounted for the user.
class VolumeService {
public:
    virtual ~VolumeService() = default;

    // False when there is nothing to ask (no system bus): the wait then scans
    // the folders alone, as fast as ever.
    virtual bool isAvailable() const = 0;
    // The boot drive's mount point, mounting it first if need be; none when
    // there is no such drive or the service refuses. Blocks for a bounded
    // time: call it off the main thread.
    virtual std::optional<QString> findBootDrive() = 0;
};
