#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

// A boot drive for tests that can't mount one: a folder on another file
// system (/dev/shm), linked into a volume folder under the drive's name.
// The updater takes an entry for a mounted drive only when it is on
// another device than the folder it is listed in, as a link there is.
struct DriveFolder {
    explicit DriveFolder(const QString &volumeRoot, const QString &name = QStringLiteral("RPI-RP2"))
        : storage_(QStringLiteral("/dev/shm/velta-drive-XXXXXX")), path_(volumeRoot + QLatin1Char('/') + name)
    {
        struct stat rootInfo {}, storageInfo {};
        if (!storage_.isValid() || ::stat(QFile::encodeName(volumeRoot).constData(), &rootInfo) != 0
            || ::stat(QFile::encodeName(storage_.path()).constData(), &storageInfo) != 0
            || rootInfo.st_dev == storageInfo.st_dev || !QFile::link(storage_.path(), path_))
            qFatal("cannot make a drive folder on another file system than %s", qPrintable(volumeRoot));
    }
    ~DriveFolder() { unplug(); }

    QString path() const { return path_; }
    // The drive leaves the volume folder, as when the device restarts.
    void unplug() { QFile::remove(path_); }
    QTemporaryDir storage_;
    QString path_;
};
