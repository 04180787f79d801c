#include "simdevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <csignal>
#include <sys/prctl.h>

bool SimDevice::start(const QStringList &arguments)
{
    // A test that crashes takes its device down with it.
    process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start(QCoreApplication::applicationDirPath() + '/' + program_, arguments);
    const QDeadlineTimer deadline(10000);
    while (lines("READY").isEmpty()) {
        if (deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return true;
}

void SimDevice::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(5000);
    log();
}

QString SimDevice::log()
{
    out_ += process_.readAllStandardOutput();
    err_ += QString::fromUtf8(process_.readAllStandardError());
    return err_;
}

QStringList SimDevice::lines(const QString &prefix)
{
    log();
    QStringList values;
    for (const QString &line : QString::fromUtf8(out_.left(out_.lastIndexOf('\n') + 1)).split('\n'))
        if (line.startsWith(prefix))
            values << line.mid(prefix.size());
    return values;
}
