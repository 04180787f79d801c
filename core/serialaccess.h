#pragma once

#include <QString>

#include <optional>

// The alert for a serial port this user may not open: `group` is the name
// of the group that owns the device, none when it has no name. Joining
// "root" is no advice worth giving, so that case gets the short form.
QString serialPermissionMessage(const QString &portPath, const std::optional<QString> &group);

// The alert when this user cannot open `portPath` for reading and writing
// (permission denied); none otherwise, including when the port has gone,
// which avrdude reports in its own words. Never opens the device: opening a
// serial port can reset the board behind it.
std::optional<QString> serialPermissionProblem(const QString &portPath);
