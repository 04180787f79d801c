#pragma once

#include "base/task.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class VolumeService;

// Fragments of the names a UF2 boot drive mounts under.
extern const QStringList bootVolumeMarkers;

// Where removable drives show up: the folders desktops auto-mount into
// (/media/<user>, /run/media/<user>, /media).
QStringList defaultVolumeRoots();

bool isBootVolumeName(const QString &entryName);

// Every UF2 boot loader presents a FAT file system; a stick of another kind
// that happens to carry the label is no boot drive.
bool isFatFileSystem(const QString &mountPoint);

// A mounted boot drive, known by its device: folders and names can be reused.
struct BootDrive {
    QString path;
    quint64 device = 0;

    bool operator==(const BootDrive &) const = default;
};

// Where boot drives are looked for.
struct BootDriveSources {
    QStringList volumeRoots;
    std::function<bool(const QString &mountPoint)> isBootFileSystem = isFatFileSystem;
    // Asked when the folders don't show the drive; none means the folders alone.
    std::shared_ptr<VolumeService> volumes;
};

// One scan of the folders: every entry whose name holds a marker, that is a
// mount point (on another device than its root) and a boot file system, in
// listing order, hidden entries skipped. A root that can't be listed
// yields nothing.
QList<BootDrive> findBootDrives(const QStringList &volumeRoots,
                                const std::function<bool(const QString &)> &isBootFileSystem);

// The devices of every boot drive connected now, mounted or not. Blocks for
// a bounded time (the disk service): call it off the main thread.
QSet<quint64> connectedBootDrives(const BootDriveSources &sources);

// The first boot drive whose device is not in `known`: in the folders, else
// through the disk service, which mounts it for the user if need be. Throws
// UpdaterError when the service refuses to mount it. Blocks for a bounded
// time: call it off the main thread.
std::optional<BootDrive> findNewBootDrive(const BootDriveSources &sources, const QSet<quint64> &known);

// Whether the drive has left, as a boot loader's drive does when it
// restarts: its folder is gone or holds another file system, or its block
// device is gone (a mount nobody cleaned up stays behind).
bool bootDriveGone(const BootDrive &drive);

// Scans at once, then every 0.5 s, never starting a scan once
// `timeoutSeconds` have passed. Each scan runs on a worker thread; the
// pauses give the main thread back.
Task<std::optional<BootDrive>> waitForBootDrive(std::function<std::optional<BootDrive>()> scan,
                                                double timeoutSeconds);
