#include "usb/bootdrive.h"

#include "usb/volumeservice.h"

#include <QFile>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
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

namespace {

// A drive mounted in a volume folder lives on a file system of its own. A
// plain folder of the drive's name (left by a manual mount, or by any
// program) is on the folder's own disk, and writing there reaches no device.
bool isMountedHere(const QByteArray &entryPath, const struct stat &rootInfo)
{
    struct stat info {};
    return ::stat(entryPath.constData(), &info) == 0 && info.st_dev != rootInfo.st_dev;
}

} // namespace

bool isBootVolumeName(const QString &entryName)
{
    // QString::toUpper is locale-independent full Unicode upper-casing.
    const QString upper = entryName.toUpper();
    return std::any_of(bootVolumeMarkers.begin(), bootVolumeMarkers.end(),
                       [&](const QString &marker) { return upper.contains(marker.toUpper()); });
}

std::optional<QString> findBootDrive(const QStringList &volumeRoots)
{
    for (const QString &root : volumeRoots) {
        const QByteArray rootPath = QFile::encodeName(root);
        struct stat rootInfo {};
        if (::stat(rootPath.constData(), &rootInfo) != 0)
            continue;
        // readdir keeps the listing order and needs no per-entry stat.
        DIR *dir = opendir(rootPath.constData());
        if (dir == nullptr)
            continue;
        std::optional<QString> found;
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const QString name = QFile::decodeName(entry->d_name);
            if (isBootVolumeName(name) && isMountedHere(rootPath + '/' + entry->d_name, rootInfo)) {
                found = root + QLatin1Char('/') + name;
                break;
            }
        }
        closedir(dir);
        if (found)
            return found;
    }
    return std::nullopt;
}

Task<std::optional<QString>> waitForBootDrive(std::function<std::optional<QString>()> scan,
                                              double timeoutSeconds, std::shared_ptr<VolumeService> volumes)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        if (!(elapsed.count() < timeoutSeconds))
            co_return std::nullopt;
        if (std::optional<QString> drive = scan())
            co_return drive;
        if (volumes && volumes->isAvailable()) {
            auto lookup = onWorkerThread([volumes] { return volumes->findBootDrive(); });
            const std::optional<QString> drive = co_await lookup;
            if (drive)
                co_return drive;
        }
        co_await pauseFor(std::chrono::milliseconds(500));
    }
}
