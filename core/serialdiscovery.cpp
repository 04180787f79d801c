#include "core/serialdiscovery.h"

#include "base/textcompare.h"
#include "core/serialregistry.h"

#include <QSet>

#include <algorithm>

const QStringList preferredSerialPortKeywords{
    QStringLiteral("ttyACM"),
    QStringLiteral("ttyUSB"),
    QStringLiteral("VELTA2"),
    QStringLiteral("VELTA 2"),
};

QString serialPortLabel(const QString &path)
{
    return path.section(QLatin1Char('/'), -1);
}

QList<SerialPortChoice> discoverSerialPorts(SerialRegistry &registry)
{
    QList<SerialPortChoice> ports;
    QSet<QString> seen;
    const QStringList paths = registry.calloutDevicePaths();
    for (const QString &path : paths) {
        if (seen.contains(path))
            continue;
        seen.insert(path);
        ports.append({QUuid::createUuid(), path});
    }
    std::stable_sort(ports.begin(), ports.end(), [](const SerialPortChoice &a, const SerialPortChoice &b) {
        return localizedCaseInsensitiveCompare(serialPortLabel(a.path), serialPortLabel(b.path)) < 0;
    });
    return ports;
}

std::optional<SerialPortChoice> preferredSerialPort(const QList<SerialPortChoice> &ports)
{
    QStringList paths;
    for (const SerialPortChoice &port : ports)
        paths.append(port.path);
    const std::optional<QString> preferred = preferredPortName(paths, preferredSerialPortKeywords);
    if (!preferred)
        return std::nullopt;
    return ports.at(paths.indexOf(*preferred));
}
