#pragma once

#include "usb/volumeservice.h"

#include <QDBusConnection>
#include <QMap>
#include <QString>
#include <QVariantMap>

#include <optional>

// What UDisks2's GetManagedObjects answers, in plain Qt values: object path
// -> interface name -> properties. Object paths are QStrings and byte-string
// arrays (MountPoints) are QByteArrayLists.
using ManagedObjects = QMap<QString, QMap<QString, QVariantMap>>;

// The file systems that can be a boot drive, the markers tried in their
// order: a FAT file system whose label holds a marker, on a removable or USB
// drive, that UDisks2 neither calls a system device nor asks to ignore.
QList<BootVolume> bootFileSystems(const ManagedObjects &objects);

// UDisks2 on the system bus. A listing is bounded to 1 s, a mount to 5 s; a
// late answer counts as no drive, and the next scan asks again.
class UDisksVolumes : public VolumeService {
public:
    static constexpr int callTimeoutMs = 1000;
    static constexpr int mountTimeoutMs = 5000;

    explicit UDisksVolumes(QDBusConnection bus = QDBusConnection::systemBus());

    bool isAvailable() const override { return m_bus.isConnected(); }
    std::optional<QList<BootVolume>> bootVolumes() override;
    MountOutcome mount(const BootVolume &volume) override;

private:
    QDBusConnection m_bus;
};
