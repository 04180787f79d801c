#include "usb/bootdrive.h"

#include "base/updatererror.h"
#include "usb/volumeservice.h"

#include <QFile>

#include <dirent.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

const QStringList bootVolumeMarkers{
    QStringLiteral("RPI-RP2"),
    QStringLiteral("RP2350"),
    QStringLiteral("RP2BOOT"),
};

QStringList defaultVolumeRoots()
{
    // The user comes from the password database: the environment can lie.
    QStringList roots;
    if (const passwd *entry = getpwuid(geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        const QString user = QString::fromLocal8Bit(entry->pw_name);
        roots << QStringLiteral("/media/") + user << QStringLiteral("/run/media/") + user;
    }
    roots << QStringLiteral("/media");
    return roots;
}

bool isBootVolumeName(const QString &entryName)
{
    // QString::toUpper is locale-independent full Unicode upper-casing.
    const QString upper = entryName.toUpper();
    return std::any_of(bootVolumeMarkers.begin(), bootVolumeMarkers.end(),
                       [&](const QString &marker) { return upper.contains(marker.toUpper()); });
}

bool isFatFileSystem(const QString &mountPoint)
{
    struct statfs info {};
    return ::statfs(QFile::encodeName(mountPoint).constData(), &info) == 0 && info.f_type == MSDOS_SUPER_MAGIC;
}

QList<BootDrive> findBootDrives(const QStringList &volumeRoots,
                                const std::function<bool(const QString &)> &isBootFileSystem)
{
    QList<BootDrive> drives;
    for (const QString &root : volumeRoots) {
        const QByteArray rootPath = QFile::encodeName(root);
        struct stat rootInfo {};
        if (::stat(rootPath.constData(), &rootInfo) != 0)
            continue;
        // readdir keeps the listing order and needs no per-entry stat.
        DIR *dir = opendir(rootPath.constData());
        if (dir == nullptr)
            continue;
        while (const dirent *entry = readdir(dir)) {
            const QString name = QFile::decodeName(entry->d_name);
            if (entry->d_name[0] == '.' || !isBootVolumeName(name))
                continue;
            // A drive lives on a file system of its own. A plain folder of
            // the drive's name (left by a manual mount, say) is on its root's
            // disk, and writing there reaches no device.
            struct stat info {};
            const QString path = root + QLatin1Char('/') + name;
            if (::stat(QFile::encodeName(path).constData(), &info) == 0 && info.st_dev != rootInfo.st_dev
                && isBootFileSystem(path))
                drives.append({path, quint64(info.st_dev)});
        }
        closedir(dir);
    }
    return drives;
}

QSet<quint64> connectedBootDrives(const BootDriveSources &sources)
{
    QSet<quint64> devices;
    for (const BootDrive &drive : findBootDrives(sources.volumeRoots, sources.isBootFileSystem))
        devices.insert(drive.device);
    if (sources.volumes && sources.volumes->isAvailable()) {
        for (const BootVolume &volume : sources.volumes->bootVolumes().value_or(QList<BootVolume>()))
            devices.insert(volume.device);
    }
    return devices;
}

std::optional<BootDrive> findNewBootDrive(const BootDriveSources &sources, const QSet<quint64> &known)
{
    for (const BootDrive &drive : findBootDrives(sources.volumeRoots, sources.isBootFileSystem)) {
        if (!known.contains(drive.device))
            return drive;
    }
    if (!sources.volumes || !sources.volumes->isAvailable())
        return std::nullopt;
    for (const BootVolume &volume : sources.volumes->bootVolumes().value_or(QList<BootVolume>())) {
        if (known.contains(volume.device))
            continue;
        const MountOutcome mounted = volume.mountPoint ? MountOutcome{volume.mountPoint, {}}
                                                       : sources.volumes->mount(volume);
        // Known from then on by what is mounted there, as a folder's drive is.
        struct stat info {};
        if (mounted.mountPoint && ::stat(QFile::encodeName(*mounted.mountPoint).constData(), &info) == 0)
            return BootDrive{*mounted.mountPoint, quint64(info.st_dev)};
        if (!mounted.refusal.isEmpty())
            throw UpdaterError::copyFailed(
                QStringLiteral("The USB firmware drive appeared but could not be mounted: ") + mounted.refusal
                + QStringLiteral("."));
        return std::nullopt;
    }
    return std::nullopt;
}

bool bootDriveGone(const BootDrive &drive)
{
    struct stat info {};
    if (::stat(QFile::encodeName(drive.path).constData(), &info) != 0 || quint64(info.st_dev) != drive.device)
        return true;
    // File systems without a block device (major 0) have no entry to lose.
    const dev_t device = dev_t(drive.device);
    if (major(device) == 0)
        return false;
    const QByteArray entry = "/sys/dev/block/" + QByteArray::number(major(device)) + ':'
        + QByteArray::number(minor(device));
    return ::access(entry.constData(), F_OK) != 0;
}

Task<std::optional<BootDrive>> waitForBootDrive(std::function<std::optional<BootDrive>()> scan,
                                                double timeoutSeconds)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        if (!(elapsed.count() < timeoutSeconds))
            co_return std::nullopt;
        auto lookup = onWorkerThread(scan);
        const std::optional<BootDrive> drive = co_await lookup;
        if (drive)
            co_return drive;
        co_await pauseFor(std::chrono::milliseconds(500));
    }
}
