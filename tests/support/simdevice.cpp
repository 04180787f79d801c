#include "simdevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <csignal>
#include <sys/prctl.h>

SimDevice::~SimDevice()
{
    stop();
}

bool SimDevice::start(const QStringList &arguments)
{
    // A test that crashes takes its device down with it.
    process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program_, arguments);
    return process_.waitForStarted(5000) && waitFor([this] { return ready_; }, 10000);
}

void SimDevice::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
    readOutput();
}

bool SimDevice::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        readOutput();
        if (condition())
            return true;
        if (deadline.hasExpired() || process_.state() != QProcess::Running)
            return false;
        process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

QStringList SimDevice::received()
{
    readOutput();
    return received_;
}

QString SimDevice::drive()
{
    readOutput();
    return drive_;
}

QString SimDevice::image()
{
    readOutput();
    return image_;
}

QStringList SimDevice::written()
{
    readOutput();
    return written_;
}

QString SimDevice::log()
{
    readOutput();
    return log_;
}

void SimDevice::readOutput()
{
    log_ += QString::fromUtf8(process_.readAllStandardError());
    partialLine_ += process_.readAllStandardOutput();
    qsizetype end;
    while ((end = partialLine_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(partialLine_.left(end));
        partialLine_.remove(0, end + 1);
        if (line == QLatin1String("READY"))
            ready_ = true;
        else if (line.startsWith(QLatin1String("RX ")))
            received_ << line.mid(3);
        else if (line.startsWith(QLatin1String("DRIVE ")))
            drive_ = line.mid(6);
        else if (line.startsWith(QLatin1String("IMAGE ")))
            image_ = line.mid(6);
        else if (line.startsWith(QLatin1String("WROTE ")))
            written_ << line.mid(6);
    }
}
