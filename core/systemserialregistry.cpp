#include "core/systemserialregistry.h"

#include <QSerialPortInfo>
#include <QSocketNotifier>

#include <libudev.h>
#include <unistd.h>

bool isCalloutDevicePath(const QString &path)
{
    return path.startsWith(QStringLiteral("/dev/ttyACM")) || path.startsWith(QStringLiteral("/dev/ttyUSB"));
}

bool isSerialHotplug(const QString &action, const QString &deviceNode)
{
    return (action == QStringLiteral("add") || action == QStringLiteral("remove")) && isCalloutDevicePath(deviceNode);
}

SystemSerialRegistry::SystemSerialRegistry() = default;

SystemSerialRegistry::~SystemSerialRegistry()
{
    m_notifier.reset();
    udev_monitor_unref(m_monitor);
    udev_unref(m_udev);
}

QStringList SystemSerialRegistry::calloutDevicePaths()
{
    QStringList paths;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        const QString path = port.systemLocation();
        if (isCalloutDevicePath(path))
            paths.append(path);
    }
    return paths;
}

void SystemSerialRegistry::setChangeHandler(std::function<void()> handler)
{
    m_handler = std::move(handler);
    if (m_monitor || !m_handler)
        return;
    m_udev = udev_new();
    if (!m_udev)
        return;
    // udev's own events come once the device node is ready for use. Where
    // no udev daemon runs (a container, a minimal system) the kernel's
    // events are all there is.
    const char *source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    m_monitor = udev_monitor_new_from_netlink(m_udev, source);
    if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0
        || udev_monitor_enable_receiving(m_monitor) < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { readEvents(); });
}

void SystemSerialRegistry::readEvents()
{
    bool changed = false;
    while (udev_device *device = udev_monitor_receive_device(m_monitor)) {
        const char *action = udev_device_get_action(device);
        const char *node = udev_device_get_devnode(device);
        changed = changed || isSerialHotplug(QString::fromUtf8(action ? action : ""), QString::fromUtf8(node ? node : ""));
        udev_device_unref(device);
    }
    if (changed && m_handler)
        m_handler();
}
