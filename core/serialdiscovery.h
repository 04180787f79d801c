#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

class SerialRegistry;

// One offered serial device. `id` is new on every discovery, so selections
// are held by path.
struct SerialPortChoice {
    QUuid id;
    QString path;

    friend bool operator==(const SerialPortChoice &, const SerialPortChoice &) = default;
};

// In priority order. The first two are how USB serial adapters are named
// (CDC-ACM boards, then USB-UART bridges).
extern const QStringList preferredSerialPortKeywords;

// The last path component, shown to the user and used as the sort key.
QString serialPortLabel(const QString &path);

// The registry's ports, de-duplicated by path (first kept) and stably sorted
// by label, case-insensitively. Never fails.
QList<SerialPortChoice> discoverSerialPorts(SerialRegistry &registry);

// The first port holding the first keyword, else the second, and so on; the
// first port when none matches; nothing for an empty list.
std::optional<SerialPortChoice> preferredSerialPort(const QList<SerialPortChoice> &ports);
