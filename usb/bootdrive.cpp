#include "usb/bootdrive.h"

#include <QFile>

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

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
    for (const QString &marker : bootVolumeMarkers) {
        if (upper.contains(marker.toUpper()))
            return true;
    }
    return false;
}

std::optional<QString> findBootDrive(const QStringList &volumeRoots)
{
    for (const QString &root : volumeRoots) {
        // readdir keeps the listing order and needs no per-entry stat.
        DIR *dir = opendir(QFile::encodeName(root).constData());
        if (dir == nullptr)
            continue;
        std::optional<QString> found;
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const QString name = QFile::decodeName(entry->d_name);
            if (isBootVolumeName(name)) {
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
                                              double timeoutSeconds)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        if (!(elapsed.count() < timeoutSeconds))
            co_return std::nullopt;
        if (std::optional<QString> drive = scan())
            co_return drive;
        co_await pauseFor(std::chrono::milliseconds(500));
    }
}
