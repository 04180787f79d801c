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

QList<BootVolume> bootFileSystems(const ManagedObjects &objects)
{
    QList<BootVolume> found;
    for (const QString &marker : bootVolumeMarkers) {
        for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
            if (!object->contains(blockInterface) || !object->contains(filesystemInterface))
                continue;
            const QVariantMap block = object->value(blockInterface);
            if (block.value(QStringLiteral("HintSystem")).toBool() || block.value(QStringLiteral("HintIgnore")).toBool()
                || block.value(QStringLiteral("IdType")).toString() != QLatin1String("vfat")
                || !block.value(QStringLiteral("IdLabel")).toString().toUpper().contains(marker.toUpper())
                || !onRemovableDrive(objects, block))
                continue;
            BootVolume volume{object.key(), block.value(QStringLiteral("DeviceNumber")).toULongLong(),
                              firstMountPoint(object->value(filesystemInterface))};
            if (!found.contains(volume))
                found.append(volume);
        }
    }
    return found;
}

UDisksVolumes::UDisksVolumes(QDBusConnection bus) : m_bus(std::move(bus)) {}

std::optional<QList<BootVolume>> UDisksVolumes::bootVolumes()
{
    const QDBusMessage listing = m_bus.call(
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/UDisks2"),
                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                       QStringLiteral("GetManagedObjects")),
        QDBus::Block, callTimeoutMs);
    if (listing.type() != QDBusMessage::ReplyMessage || listing.signature() != QLatin1String("a{oa{sa{sv}}}"))
        return std::nullopt;
    return bootFileSystems(managedObjectsFrom(listing.arguments().constFirst().value<QDBusArgument>()));
}

MountOutcome UDisksVolumes::mount(const BootVolume &volume)
{
    // Mounted the way the desktop would, under /media/<user>; never a
    // password prompt in the middle of an update.
    QDBusMessage request = QDBusMessage::createMethodCall(service, volume.objectPath, filesystemInterface,
                                                          QStringLiteral("Mount"));
    request << QVariantMap{{QStringLiteral("auth.no_user_interaction"), true}};
    const QDBusMessage mounted = m_bus.call(request, QDBus::Block, mountTimeoutMs);
    if (mounted.type() == QDBusMessage::ReplyMessage && mounted.signature() == QLatin1String("s")) {
        const QString path = mounted.arguments().constFirst().toString();
        return {path.isEmpty() ? std::nullopt : std::optional(path), {}};
    }
    // No answer in time, or the desktop mounted it first: the next scan sees it.
    static const QStringList lookAgain{
        QStringLiteral("org.freedesktop.DBus.Error.NoReply"), QStringLiteral("org.freedesktop.DBus.Error.Timeout"),
        QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
        QStringLiteral("org.freedesktop.UDisks2.Error.AlreadyMounted")};
    const QString error = mounted.errorName();
    if (mounted.type() != QDBusMessage::ErrorMessage || lookAgain.contains(error))
        return {};
    QString reason = mounted.errorMessage().trimmed();
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return {std::nullopt, reason.isEmpty() ? error : reason};
}
