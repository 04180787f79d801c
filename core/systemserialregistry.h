#pragma once

#include "core/serialregistry.h"

#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// USB-backed ports only: /dev/ttyACM* and /dev/ttyUSB*. Built-in UARTs and
// Bluetooth ports are never the device.
bool isCalloutDevicePath(const QString &path);

// Whether a tty event from udev ("add", "/dev/ttyACM0") can change the list.
bool isSerialHotplug(const QString &action, const QString &deviceNode);

// Serial ports as Qt's serial port registry (udev on Linux) sees them, with
// udev's tty events telling when to look again. Lives on the main thread.
class SystemSerialRegistry : public SerialRegistry {
public:
    SystemSerialRegistry();
    ~SystemSerialRegistry() override;

    QStringList calloutDevicePaths() override;
    void setChangeHandler(std::function<void()> handler) override;

private:
    void readEvents();

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_handler;
};
