#include "core/avrduderunner.h"

#include "base/updatererror.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include <unistd.h>

namespace {

const QString toolName = QStringLiteral("avrdude");
const QString configName = QStringLiteral("avrdude.conf");

// access() asks the kernel, so ownership, ACLs and mount options all count.
bool hasAccess(const QString &path, int mode)
{
    return ::access(QFile::encodeName(path).constData(), mode) == 0;
}

// Standard output, then standard error, each decoded as UTF-8 (a stream that
// is not valid UTF-8 counts as empty); empty ones dropped, the rest joined
// with one line feed. Nothing trimmed.
QString joinToolOutput(const QByteArray &standardOutput, const QByteArray &standardError)
{
    QStringList parts;
    for (const QByteArray *stream : {&standardOutput, &standardError}) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(*stream);
        if (!decoder.hasError() && !text.isEmpty())
            parts.append(text);
    }
    return parts.join(QLatin1Char('\n'));
}

} // namespace

QStringList avrdudeArguments(const QString &configPath, const QString &serialPortPath,
                             const QString &firmwarePath)
{
    return {
        QStringLiteral("-C"), configPath,
        QStringLiteral("-v"),
        QStringLiteral("-p"), QStringLiteral("m328"),
        QStringLiteral("-c"), QStringLiteral("arduino"),
        QStringLiteral("-P"), serialPortPath,
        QStringLiteral("-b"), QStringLiteral("115200"),
        QStringLiteral("-D"),
        QStringLiteral("-U"), QStringLiteral("flash:w:") + firmwarePath + QStringLiteral(":i"),
    };
}

QString AvrdudeRunner::defaultResourceDir()
{
    // applicationDirPath() comes from /proc/self/exe, not from the working
    // directory or the environment.
    return QCoreApplication::applicationDirPath() + QStringLiteral("/resources");
}

AvrdudeRunner::AvrdudeRunner(QString resourceDir, std::chrono::milliseconds timeLimit)
    : m_resourceDir(std::move(resourceDir)), m_timeLimit(timeLimit) {}

QString AvrdudeRunner::run(const QString &firmwarePath, const QString &serialPortPath,
                           const std::function<void(const AvrdudeProgress &)> &onProgress,
                           const std::atomic<bool> *stop) const
{
    const QString tool = m_resourceDir + QLatin1Char('/') + toolName;
    const QString config = m_resourceDir + QLatin1Char('/') + configName;

    if (!QFileInfo::exists(tool))
        throw UpdaterError::bundledToolMissing(toolName);
    if (!QFileInfo::exists(config))
        throw UpdaterError::bundledToolMissing(configName);
    if (!hasAccess(tool, X_OK))
        throw UpdaterError::bundledToolNotExecutable(toolName);
    if (!hasAccess(config, R_OK))
        throw UpdaterError::bundledToolMissing(configName);

    QProcess process;
    process.setProgram(tool);
    process.setArguments(avrdudeArguments(config, serialPortPath, firmwarePath));
    process.setProcessChannelMode(QProcess::SeparateChannels);
    // The child shares our standard input, environment and working directory.
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start();
    if (!process.waitForStarted(-1)) {
        throw UpdaterError::avrdudeFailed(QStringLiteral("Could not start bundled avrdude.\n\n")
                                          + process.errorString());
    }

    // Waiting drains both pipes, so no amount of output can stall the child.
    // Standard error, where the progress bars go, is taken as it comes.
    QByteArray standardError;
    AvrdudeProgressParser progress;
    QDeadlineTimer deadline(m_timeLimit);
    // avrdude goes on reading a port whose device was unplugged, for ever
    // and at full speed: once the port is gone, it is stopped.
    const bool portWasThere = hasAccess(serialPortPath, F_OK);
    bool portGone = false;
    auto stopped = [stop] { return stop && stop->load(); };
    process.setReadChannel(QProcess::StandardError);
    while (process.state() == QProcess::Running && !deadline.hasExpired() && !portGone && !stopped()) {
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 250)));
        const QByteArray chunk = process.readAllStandardError();
        standardError += chunk;
        if (onProgress) {
            for (const AvrdudeProgress &update : progress.feed(chunk))
                onProgress(update);
        }
        portGone = portWasThere && !hasAccess(serialPortPath, F_OK);
    }
    const bool finished = process.state() == QProcess::NotRunning || process.waitForFinished(0);
    if (!finished) {
        process.kill();
        // SIGKILL can't be ignored; this only reaps the child.
        process.waitForFinished(-1);
    }
    QString output = joinToolOutput(process.readAllStandardOutput(), standardError + process.readAllStandardError());
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return output;
    if (finished)
        throw UpdaterError::avrdudeFailed(output.isEmpty() ? QStringLiteral("avrdude failed.") : output);

    if (!output.isEmpty() && !output.endsWith(QLatin1Char('\n')))
        output += QLatin1Char('\n');
    if (stopped())
        output += QStringLiteral("avrdude was stopped: the updater is quitting.\n");
    else if (portGone)
        output += QStringLiteral("avrdude was stopped: the serial device %1 went away.\n").arg(serialPortPath);
    else
        output += QStringLiteral("avrdude was stopped after %1 seconds without finishing.\n")
                      .arg(std::chrono::duration_cast<std::chrono::seconds>(m_timeLimit).count());
    throw UpdaterError::avrdudeFailed(output);
}
