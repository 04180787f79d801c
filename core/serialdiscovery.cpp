#include "core/serialdiscovery.h"

#include "app/textcompare.h"
#include "core/serialregistry.h"

#include <QSet>

#include <algorithm>

const QStringList preferredSerialPortKeywords{
#ifdef Q_OS_MACOS
    QStringLiteral("usbmodem"),
    QStringLiteral("usbserial"),
#else
    QStringLiteral("ttyACM"),
    QStringLiteral("ttyUSB"),
#endif
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
    if (ports.isEmpty())
        return std::nullopt;
    for (const QString &keyword : preferredSerialPortKeywords) {
        for (const SerialPortChoice &port : ports) {
            if (localizedCaseInsensitiveContains(port.path, keyword))
                return port;
        }
    }
    return ports.first();
}
