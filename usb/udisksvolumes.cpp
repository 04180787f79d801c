#include "usb/udisksvolumes.h"

#include "usb/bootdrive.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString blockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString filesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString driveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");

bool onRemovableDrive(const ManagedObjects &objects, const QVariantMap &block)
{
    const auto drive = objects.constFind(block.value(QStringLiteral("Drive")).toString());
    if (drive == objects.cend() || !drive->contains(driveInterface))
        return false;
    const QVariantMap properties = drive->value(driveInterface);
    return properties.value(QStringLiteral("Removable")).toBool()
        || properties.value(QStringLiteral("ConnectionBus")).toString() == QLatin1String("usb");
}

std::optional<QString> firstMountPoint(const QVariantMap &filesystem)
{
    const QByteArrayList points = filesystem.value(QStringLiteral("MountPoints")).value<QByteArrayList>();
    if (points.isEmpty())
        return std::nullopt;
    // Byte strings with their terminating NUL.
    const QString path = QFile::decodeName(QByteArray(points.first().constData()));
    return path.isEmpty() ? std::nullopt : std::optional(path);
}

// Object paths and byte-string arrays arrive as D-Bus types; the chooser
// works on plain values.
QVariant plainValue(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1String("aay")) {
            QByteArrayList list;
            argument >> list;
            return QVariant::fromValue(list);
        }
        return {};
    }
    return value;
}

ManagedObjects managedObjectsFrom(const QDBusArgument &argument)
{
    QMap<QDBusObjectPath, QMap<QString, QVariantMap>> listing;
    argument >> listing;
    ManagedObjects objects;
    for (auto object = listing.begin(); object != listing.end(); ++object) {
        for (QVariantMap &properties : *object) {
            for (QVariant &value : properties)
                value = plainValue(value);
        }
        objects.insert(object.key().path(), *object);
    }
    return objects;
}

} // namespace

std::optional<BootFileSystem> chooseBootFileSystem(const ManagedObjects &objects)
{
    for (const QString &marker : bootVolumeMarkers) {
        for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
            if (!object->contains(blockInterface) || !object->contains(filesystemInterface))
                continue;
            const QVariantMap block = object->value(blockInterface);
            if (block.value(QStringLiteral("HintSystem")).toBool() || block.value(QStringLiteral("HintIgnore")).toBool()
                || !block.value(QStringLiteral("IdLabel")).toString().toUpper().contains(marker.toUpper())
                || !onRemovableDrive(objects, block))
                continue;
            return BootFileSystem{object.key(), firstMountPoint(object->value(filesystemInterface))};
        }
    }
    return std::nullopt;
}

UDisksVolumes::UDisksVolumes(QDBusConnection bus) : m_bus(std::move(bus)) {}

std::optional<QString> UDisksVolumes::findBootDrive()
{
    const QDBusMessage listing = m_bus.call(
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/UDisks2"),
                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                       QStringLiteral("GetManagedObjects")),
        QDBus::Block, callTimeoutMs);
    if (listing.type() != QDBusMessage::ReplyMessage || listing.signature() != QLatin1String("a{oa{sa{sv}}}"))
        return std::nullopt;
    const std::optional<BootFileSystem> found =
        chooseBootFileSystem(managedObjectsFrom(listing.arguments().constFirst().value<QDBusArgument>()));
    if (!found)
        return std::nullopt;
    if (found->mountPoint)
        return found->mountPoint;

    // Mounted the way the desktop would, under /media/<user>; never a
    // password prompt in the middle of an update.
    QDBusMessage mount = QDBusMessage::createMethodCall(service, found->objectPath, filesystemInterface,
                                                        QStringLiteral("Mount"));
    mount << QVariantMap{{QStringLiteral("auth.no_user_interaction"), true}};
    const QDBusMessage mounted = m_bus.call(mount, QDBus::Block, callTimeoutMs);
    if (mounted.type() != QDBusMessage::ReplyMessage || mounted.signature() != QLatin1String("s"))
        return std::nullopt;
    const QString path = mounted.arguments().constFirst().toString();
    return path.isEmpty() ? std::nullopt : std::optional(path);
}
