#pragma once

#include "core/serialregistry.h"

// USB-backed ports only: /dev/ttyACM* and /dev/ttyUSB*. Built-in UARTs and
// Bluetooth ports are never the device.
bool isCalloutDevicePath(const QString &path);

// Serial ports as Qt's serial port registry (udev on Linux) sees them.
class SystemSerialRegistry : public SerialRegistry {
public:
    QStringList calloutDevicePaths() override;
};
