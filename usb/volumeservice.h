#pragma once

#include <QList>
#include <QString>

#include <optional>

// A boot file system as the desktop's disk service lists it.
struct BootVolume {
    QString objectPath;
    // The block device's number, the st_dev of its mount.
    quint64 device = 0;
    // The first mount point, when it is mounted.
    std::optional<QString> mountPoint;

    bool operator==(const BootVolume &) const = default;
};

// What a request to mount a boot volume came to.
struct MountOutcome {
    std::optional<QString> mountPoint;
    // The service's own reason when it refused; empty when it merely did not
    // answer in time or something else mounted it meanwhile: then look again.
    QString refusal;
};

// The desktop's disk service, asked for the boot drive when no volume folder
// shows it: a drive that nothing has mounted (no automounter, a locked
// screen) can still be mounted for the user.
class VolumeService {
public:
    virtual ~VolumeService() = default;

    // False when there is nothing to ask (no system bus): the folders alone count.
    virtual bool isAvailable() const = 0;
    // Every boot file system listed now, in the markers' order; nothing when
    // the service did not answer. Blocks for a bounded time: call it off the
    // main thread.
    virtual std::optional<QList<BootVolume>> bootVolumes() = 0;
    // Mounts it for the user, never asking for a password. Blocks for a
    // bounded time.
    virtual MountOutcome mount(const BootVolume &volume) = 0;
};
