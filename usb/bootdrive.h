#pragma once

#include "base/task.h"

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

// One scan: every root listed once, in listing order, hidden entries
// skipped; the first entry whose name holds a marker and that is a mount
// point (on another device than its root). A root that can't be listed
// yields nothing.
std::optional<QString> findBootDrive(const QStringList &volumeRoots);

// Scans at once, then every 0.5 s, never starting a scan once `timeoutSeconds`
// have passed. A scan that finds nothing in the folders asks `volumes`, when
// there is one to ask, on a worker thread. The pauses give the main thread back.
Task<std::optional<QString>> waitForBootDrive(std::function<std::optional<QString>()> scan,
                                              double timeoutSeconds,
                                              std::shared_ptr<VolumeService> volumes = nullptr);
