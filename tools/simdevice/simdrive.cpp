#include "simdrive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

// A copy is taken as finished once its size has held for this many scans.
constexpr int settledScans = 2;

const char infoText[] = "UF2 Bootloader v3.0\n"
                        "Model: Raspberry Pi RP2\n"
                        "Board-ID: RPI-RP2\n";

} // namespace

SimDrive::SimDrive(QObject *parent)
    : QObject(parent)
{
    scanTimer_.setInterval(100);
    connect(&scanTimer_, &QTimer::timeout, this, &SimDrive::scan);
}

SimDrive::~SimDrive()
{
    if (!path_.isEmpty())
        QFile::remove(path_);
}

bool SimDrive::mount(const QString &volumesDir, QString *error)
{
    // A mounted drive is a file system of its own; without the right to
    // mount, the drive's files live on /dev/shm, linked into the volumes
    // folder, which the updater sees as another device all the same.
    const QString path = QDir(volumesDir).absoluteFilePath(QStringLiteral("RPI-RP2"));
    storage_ = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/velta-simdrive-XXXXXX"));
    if (!storage_->isValid() || !QFile::link(storage_->path(), path)) {
        *error = QStringLiteral("cannot create %1").arg(path);
        return false;
    }
    QFile info(path + QStringLiteral("/INFO_UF2.TXT"));
    if (!info.open(QIODevice::WriteOnly) || info.write(infoText, sizeof infoText - 1) != qint64(sizeof infoText - 1)) {
        *error = QStringLiteral("cannot write %1").arg(info.fileName());
        return false;
    }
    info.close();
    path_ = path;

    // What is there now came with the drive; only later files are copies.
    files_.clear();
    const QFileInfoList present = QDir(path_).entryInfoList(QDir::Files | QDir::Hidden);
    for (const QFileInfo &file : present)
        files_.insert(file.fileName(), Watched{file.size(), 0, true});
    scanTimer_.start();
    return true;
}

void SimDrive::scan()
{
    // Hidden files are a copier's temporaries, renamed into place when done.
    const QFileInfoList present = QDir(path_).entryInfoList(QDir::Files);
    for (const QFileInfo &file : present) {
        Watched &watched = files_[file.fileName()];
        if (watched.reported)
            continue;
        if (file.size() == watched.size) {
            ++watched.unchangedScans;
        } else {
            watched.size = file.size();
            watched.unchangedScans = 0;
        }
        if (watched.unchangedScans >= settledScans) {
            watched.reported = true;
            emit fileWritten(file.fileName(), watched.size);
        }
    }
}
