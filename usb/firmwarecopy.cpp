#include "usb/firmwarecopy.h"

#include "base/updatererror.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

const QString sourceNotFound = QStringLiteral("Source firmware file was not found.");
const QString readFailed = QStringLiteral("Could not read the selected firmware file.");
const QString writeFailed = QStringLiteral("Could not write the firmware to the VELTA.");

bool readWholeFile(const QByteArray &path, QByteArray &contents)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
    char buffer[64 * 1024];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            contents.append(buffer, n);
        else if (n == 0)
            break;
        else if (errno != EINTR)
            ok = false;
    }
    ::close(fd);
    return ok;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n > 0)
            written += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// The boot loader restarts as soon as it has the last block, and the drive
// disappears; a flush that fails after that is the normal end, not a fault.
bool driveWentAway(const QByteArray &driveDir, dev_t deviceWritten)
{
    struct stat info {};
    if (::stat(driveDir.constData(), &info) != 0)
        return true;
    return info.st_dev != deviceWritten;
}

} // namespace

void copyFirmware(const QString &source, const QString &destination)
{
    const QByteArray sourcePath = QFile::encodeName(source);
    const QByteArray destinationPath = QFile::encodeName(destination);

    if (::access(sourcePath.constData(), F_OK) != 0)
        throw UpdaterError::copyFailed(sourceNotFound);

    QByteArray contents;
    if (!readWholeFile(sourcePath, contents))
        throw UpdaterError::copyFailed(readFailed);

    // A failed removal is ignored: the write below decides.
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(destinationPath.toStdString()), ignored);

    const int fd = ::open(destinationPath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw UpdaterError::copyFailed(writeFailed);

    struct stat written {};
    ::fstat(fd, &written);
    const bool accepted = writeAll(fd, contents);
    bool flushed = accepted && ::fsync(fd) == 0;
    flushed = (::close(fd) == 0) && flushed;

    if (flushed)
        return;
    const QByteArray driveDir = QFile::encodeName(QFileInfo(destination).absolutePath());
    if (accepted && driveWentAway(driveDir, written.st_dev))
        return;
    throw UpdaterError::copyFailed(writeFailed);
}
