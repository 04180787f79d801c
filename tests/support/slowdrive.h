#pragma once

#include "support/processprobe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

// bin/velta-slowdrive for one test or benchmark: a folder served at a mount
// point (a folder named like the drive, e.g. .../RPI-RP2, made for it) as
// slowly as a boot loader takes a .uf2 (64 KiB/s unless --rate says).
class SlowDrive {
public:
    ~SlowDrive() { stop(); }

    // `options`: --rate BYTES_PER_SECOND, --leave, --board-id ID. Waits up to
    // 10 s for the mount; log() tells why not.
    bool start(const QString &folder, const QString &mountPoint, const QStringList &options = {})
    {
        process_.start(QCoreApplication::applicationDirPath() + "/velta-slowdrive",
                       QStringList{folder, mountPoint} + options);
        const QDeadlineTimer deadline(10000);
        while (!output().startsWith("READY\n"))
            if (deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime())))
                return false;
        return true;
    }

    // With --leave: a whole .uf2 was closed on it and it went (unmounted).
    bool left()
    {
        process_.waitForReadyRead(0);
        return output().contains("\nLEFT ");
    }

    // Unmounted, its mount point removed if it made it.
    void stop() { processprobe::stop(process_); }

    QString log()
    {
        err_ += QString::fromUtf8(process_.readAllStandardError());
        return err_;
    }

private:
    QByteArray output()
    {
        out_ += process_.readAllStandardOutput();
        return out_;
    }

    QProcess process_;
    QByteArray out_;
    QString err_;
};
