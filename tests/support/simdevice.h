#pragma once

#include "support/processprobe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

// The device played by bin/velta-gadgetdevice in the test VM, run for
// one test, and the lines it printed: READY, RX <hex>, IMAGE <path>, DRIVE <path>,
// RESTARTED.
class SimDevice {
public:
    ~SimDevice() { stop(); }

    // Waits up to 10 s for READY; log() tells why not.
    bool start(const QStringList &arguments)
    {
        process_.start(QCoreApplication::applicationDirPath() + "/velta-gadgetdevice", arguments);
        const QDeadlineTimer deadline(10000);
        while (lines("READY").isEmpty())
            if (deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime())))
                return false;
        return true;
    }

    // SIGTERM, then SIGKILL if it lingers; all it printed is read then.
    void stop()
    {
        processprobe::stop(process_);
        log();
    }

    // What it printed so far (the event loop reads it): each SysEx received, "F0 7D ... F7".
    QStringList received() { return lines("RX "); }
    // The boot drive's folder and file system image, the latest.
    QString drive() { return lines("DRIVE ").value(lines("DRIVE ").size() - 1); }
    QString image() { return lines("IMAGE ").value(lines("IMAGE ").size() - 1); }
    // How often its boot loader took the image and it came back.
    qsizetype restarts() { return lines("RESTARTED").size(); }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    // Its stderr.
    QString log()
    {
        if (!process_.isOpen())
            return err_;
        out_ += process_.readAllStandardOutput();
        err_ += QString::fromUtf8(process_.readAllStandardError());
        return err_;
    }

private:
    QStringList lines(const QString &prefix)
    {
        QStringList values;
        log();
        for (const QString &line : QString::fromUtf8(out_.left(out_.lastIndexOf('\n') + 1)).split('\n'))
            if (line.startsWith(prefix))
                values << line.mid(prefix.size());
        return values;
    }

    QProcess process_;
    QByteArray out_;
    QString err_;
};
