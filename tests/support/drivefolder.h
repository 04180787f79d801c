#pragma once

#include "usb/uf2check.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/stat.h>

// A boot drive for tests that can't mount one: a folder on another file
// system (/dev/shm), linked into a volume folder under the drive's name.
// The updater takes an entry for a mounted drive only when it is on
// another device than the folder it is listed in, as a link there is.
// Like a boot loader's, it may leave once it holds a whole image.
struct DriveFolder {
    explicit DriveFolder(const QString &volumeRoot, const QString &name = QStringLiteral("RPI-RP2"),
                         bool plugged = true)
        : storage_(QStringLiteral("/dev/shm/velta-drive-XXXXXX")), path_(volumeRoot + QLatin1Char('/') + name)
    {
        struct stat rootInfo {}, storageInfo {};
        if (!storage_.isValid() || ::stat(QFile::encodeName(volumeRoot).constData(), &rootInfo) != 0
            || ::stat(QFile::encodeName(storage_.path()).constData(), &storageInfo) != 0
            || rootInfo.st_dev == storageInfo.st_dev)
            qFatal("cannot make a drive folder on another file system than %s", qPrintable(volumeRoot));
        QFile info(storage_.filePath(QStringLiteral("INFO_UF2.TXT")));
        if (!info.open(QIODevice::WriteOnly) || info.write("UF2 Bootloader v3.0\r\nBoard-ID: RPI-RP2\r\n") < 0)
            qFatal("cannot write INFO_UF2.TXT");
        if (plugged)
            plug();
    }
    ~DriveFolder() { unplug(); }

    QString path() const { return path_; }
    // Where its files stay once it has left.
    QString storage() const { return storage_.path(); }
    void plug()
    {
        if (!QFile::link(storage_.path(), path_))
            qFatal("cannot link %s", qPrintable(path_));
    }
    // The drive leaves the volume folder, as when the device restarts.
    void unplug() { QFile::remove(path_); }
    // Leaves as soon as a file on it is a whole image, as a boot loader
    // restarts; looked at every 20 ms.
    void restartOnceWhole()
    {
        QObject::connect(&watch_, &QTimer::timeout, [this] {
            for (const QFileInfo &file : QDir(storage_.path()).entryInfoList({QStringLiteral("*.uf2")}, QDir::Files)) {
                QFile image(file.filePath());
                if (image.open(QIODevice::ReadOnly) && isUf2Image(image.readAll())) {
                    watch_.stop();
                    unplug();
                }
            }
        });
        watch_.start(20);
    }
    QTemporaryDir storage_;
    QString path_;
    QTimer watch_;
};
