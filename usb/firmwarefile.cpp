#include "usb/firmwarefile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FirmwareRead kindOf(const struct stat &info)
{
    if (S_ISDIR(info.st_mode))
        return FirmwareRead::directory;
    if (!S_ISREG(info.st_mode))
        return FirmwareRead::notRegularFile;
    return info.st_size > maxFirmwareFileSize ? FirmwareRead::tooLarge : FirmwareRead::ok;
}

} // namespace

FirmwareFile readFirmwareFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0)
        return {errno == ENOENT || errno == ENOTDIR ? FirmwareRead::missing : FirmwareRead::unreadable, {}};
    if (const FirmwareRead kind = kindOf(info); kind != FirmwareRead::ok)
        return {kind, {}};

    // Non-blocking, and looked at again once open: the path may have been
    // swapped for something else since the stat.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {FirmwareRead::unreadable, {}};
    FirmwareFile file{::fstat(fd, &info) == 0 ? kindOf(info) : FirmwareRead::unreadable, {}};
    if (file.status == FirmwareRead::ok)
        file.bytes.reserve(qsizetype(info.st_size));
    char buffer[64 * 1024];
    while (file.status == FirmwareRead::ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            file.bytes.append(buffer, n);
        else if (n == 0)
            break;
        else if (errno != EINTR)
            file.status = FirmwareRead::unreadable;
        // A file that grows while it is read stops at the limit.
        if (file.bytes.size() > maxFirmwareFileSize)
            file.status = FirmwareRead::tooLarge;
    }
    ::close(fd);
    if (file.status != FirmwareRead::ok)
        file.bytes.clear();
    return file;
}
