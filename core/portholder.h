#pragma once

#include <QString>

#include <optional>

// Another process that has a serial port open.
struct PortHolder {
    qint64 pid = 0;
    QString program;
};

// The first other process of this user that has `portPath` open, found
// through procRoot/<pid>/fd by the device number, never by opening the port
// (that can reset the board). Processes that can't be inspected are skipped.
std::optional<PortHolder> findPortHolder(const QString &portPath, const QString &procRoot = QStringLiteral("/proc"));

QString portInUseMessage(const QString &portPath, const PortHolder &holder);
