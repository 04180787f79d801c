#include "usb/firmwarecopy.h"

#include "base/updatererror.h"
#include "usb/firmwarefile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace {

const QString sourceNotFound = QStringLiteral("Source firmware file was not found.");
const QString readFailed = QStringLiteral("Could not read the selected firmware file.");
const QString writeFailed = QStringLiteral("Could not write the firmware to the VELTA.");

bool writeAll(int fd, const char *bytes, qint64 size)
{
    qint64 written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size_t(size - written));
        if (n > 0)
            written += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// Each piece goes out to the device before the next is written: without
// it the page cache takes the whole file at once and the last flush does
// all the work, with nothing to show for it.
bool writePieces(int fd, const QByteArray &contents, const std::function<void(qint64)> &progress,
                 const std::atomic<bool> *stop)
{
    for (qint64 done = 0; done < contents.size();) {
        if (stop && stop->load())
            return false;
        const qint64 piece = std::min<qint64>(firmwareCopyPiece, contents.size() - done);
        if (!writeAll(fd, contents.constData() + done, piece))
            return false;
        // Data only; the file's size and clusters go with the last flush.
        ::sync_file_range(fd, done, piece,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        done += piece;
        if (progress && done < contents.size())
            progress(done);
    }
    return true;
}

// The boot loader restarts as soon as it has the last block, and the drive
// disappears; a flush that fails after that is the normal end, not a fault.
bool driveWentAway(const QByteArray &driveDir, dev_t deviceWritten)
{
    struct stat info {};
    return ::stat(driveDir.constData(), &info) != 0 || info.st_dev != deviceWritten;
}

} // namespace

QByteArray readFirmwareSource(const QString &source)
{
    FirmwareFile file = readFirmwareFile(source);
    if (file.status == FirmwareRead::missing)
        throw UpdaterError::copyFailed(sourceNotFound);
    if (file.status != FirmwareRead::ok)
        throw UpdaterError::copyFailed(readFailed);
    return std::move(file.bytes);
}

void writeFirmware(const QByteArray &contents, const QString &destination,
                   const std::function<void(qint64 done)> &progress, const std::atomic<bool> *stop)
{
    const QByteArray destinationPath = QFile::encodeName(destination);

    // A failed removal is ignored: the write below decides.
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(destinationPath.toStdString()), ignored);

    const int fd = ::open(destinationPath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw UpdaterError::copyFailed(writeFailed);

    struct stat written {};
    ::fstat(fd, &written);
    const bool accepted = writePieces(fd, contents, progress, stop);
    bool flushed = accepted && ::fsync(fd) == 0;
    flushed = (::close(fd) == 0) && flushed;

    if (flushed) {
        if (progress)
            progress(contents.size());
        return;
    }
    const QByteArray driveDir = QFile::encodeName(QFileInfo(destination).absolutePath());
    if (accepted && driveWentAway(driveDir, written.st_dev)) {
        if (progress)
            progress(contents.size());
        return;
    }
    throw UpdaterError::copyFailed(writeFailed);
}

QString driveFileName(const QString &name)
{
    // What FAT's long names can't hold; the boot loader reads the blocks,
    // never the name.
    static const QString forbidden = QStringLiteral("\"*/:<>?\\|");
    QString safe = name;
    for (QChar &c : safe) {
        if (c.unicode() < 0x20 || forbidden.contains(c))
            c = QLatin1Char('_');
    }
    return safe;
}
