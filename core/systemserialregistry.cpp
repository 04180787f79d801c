#include "core/systemserialregistry.h"

#include <QSerialPortInfo>

bool isCalloutDevicePath(const QString &path)
{
    return path.startsWith(QStringLiteral("/dev/ttyACM")) || path.startsWith(QStringLiteral("/dev/ttyUSB"));
}

QStringList SystemSerialRegistry::calloutDevicePaths()
{
    QStringList paths;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        const QString path = port.systemLocation();
        if (isCalloutDevicePath(path))
            paths.append(path);
    }
    return paths;
}
