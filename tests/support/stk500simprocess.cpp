#include "support/stk500simprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

Stk500SimProcess::Stk500SimProcess(const QStringList &extraArgs)
{
    m_linkPath = m_dir.filePath(QStringLiteral("ttySIM"));
    m_flashPath = m_dir.filePath(QStringLiteral("flash.bin"));
    m_process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/stk500sim"));
    m_process.setArguments(QStringList{QStringLiteral("--link"), m_linkPath, QStringLiteral("--flash-out"), m_flashPath}
                           + extraArgs);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    // The PTY line comes right after start-up.
    const QDeadlineTimer deadline(5000);
    while (!m_process.canReadLine() && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning)
        m_process.waitForReadyRead(100);
    const QByteArray line = m_process.readLine().trimmed();
    if (line.startsWith("PTY "))
        m_slavePath = QString::fromLocal8Bit(line.mid(4));
}

Stk500SimProcess::~Stk500SimProcess()
{
    stop();
}

void Stk500SimProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QByteArray Stk500SimProcess::flash(int size) const
{
    QFile file(m_flashPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(size);
}
