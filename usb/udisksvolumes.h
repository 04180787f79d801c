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

struct BootFileSystem {
    QString objectPath;
    // The first mount point, when it is mounted.
    std::optional<QString> mountPoint;

    bool operator==(const BootFileSystem &) const = default;
};

// The file system to use as the boot drive: its label holds a boot marker
// (the markers tried in their order), it sits on a removable or USB drive,
// and UDisks2 neither calls it a system device nor asks to ignore it.
std::optional<BootFileSystem> chooseBootFileSystem(const ManagedObjects &objects);

// UDisks2 on the system bus. Each call is bounded to 1 s; a late answer
// counts as no drive, and the next scan asks again.
class UDisksVolumes : public VolumeService {
public:
    static constexpr int callTimeoutMs = 1000;

    explicit UDisksVolumes(QDBusConnection bus = QDBusConnection::systemBus());

    bool isAvailable() const override { return m_bus.isConnected(); }
    std::optional<QString> findBootDrive() override;

private:
    QDBusConnection m_bus;
};
