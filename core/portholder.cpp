#include "core/portholder.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

using Directory = std::unique_ptr<DIR, int (*)(DIR *)>;

Directory openDirectory(int parent, const char *name)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (fd >= 0 && !dir)
        ::close(fd);
    return Directory(dir, ::closedir);
}

bool isNumber(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

bool holds(int processDir, dev_t device)
{
    const Directory fds = openDirectory(processDir, "fd");
    if (!fds)
        return false;
    while (const dirent *entry = ::readdir(fds.get())) {
        // Only links into /dev are followed: a file on a hung network or
        // FUSE mount would block the stat, and no serial port lives there.
        char target[16];
        const ssize_t length = ::readlinkat(::dirfd(fds.get()), entry->d_name, target, sizeof target);
        if (length < 5 || QByteArray::fromRawData(target, 5) != "/dev/")
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(fds.get()), entry->d_name, &info, 0) == 0 && S_ISCHR(info.st_mode)
            && info.st_rdev == device)
            return true;
    }
    return false;
}

QString programName(int processDir)
{
    const int fd = ::openat(processDir, "comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    char name[64];
    const ssize_t length = ::read(fd, name, sizeof name);
    ::close(fd);
    return length > 0 ? QString::fromLocal8Bit(name, length).trimmed() : QString();
}

} // namespace

std::optional<PortHolder> findPortHolder(const QString &portPath, const QString &procRoot)
{
    struct stat port {};
    if (::stat(QFile::encodeName(portPath).constData(), &port) != 0 || !S_ISCHR(port.st_mode))
        return std::nullopt;
    const Directory processes = openDirectory(AT_FDCWD, QFile::encodeName(procRoot).constData());
    if (!processes)
        return std::nullopt;
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    while (const dirent *entry = ::readdir(processes.get())) {
        if (!isNumber(entry->d_name) || self == entry->d_name)
            continue;
        const int processDir = ::openat(::dirfd(processes.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (processDir < 0)
            continue;
        struct stat owner {};
        std::optional<PortHolder> found;
        if (::fstat(processDir, &owner) == 0 && owner.st_uid == ::geteuid() && holds(processDir, port.st_rdev))
            found = PortHolder{QByteArray(entry->d_name).toLongLong(), programName(processDir)};
        ::close(processDir);
        if (found)
            return found;
    }
    return std::nullopt;
}

QString portInUseMessage(const QString &portPath, const PortHolder &holder)
{
    const QString program = holder.program.isEmpty() ? QStringLiteral("another program") : holder.program;
    return QStringLiteral("The serial device ") + portPath + QStringLiteral(" is in use by ") + program
        + QStringLiteral(" (process ") + QString::number(holder.pid) + QStringLiteral("). Close it, then press Upload again.");
}
