#pragma once

#include "support/processprobe.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QTemporaryDir>

// The simulated bootloader (bin/stk500sim) on a fresh pseudo-terminal, with
// its flash image recorded in a private folder.
class Stk500SimProcess {
public:
    explicit Stk500SimProcess(const QStringList &extraArgs = {})
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationDirPath() + "/stk500sim",
                        QStringList{"--link", portPath(), "--flash-out", m_dir.filePath("flash.bin")} + extraArgs);
        // The simulator names its pty once it serves it.
        while (!m_process.canReadLine() && m_process.waitForReadyRead(5000))
            continue;
        m_running = m_process.readLine().startsWith("PTY ");
    }
    ~Stk500SimProcess() { processprobe::stop(m_process); }

    bool isRunning() const { return m_running; }
    // A stable name for the pty: a symlink in the private folder.
    QString portPath() const { return m_dir.filePath("ttySIM"); }
    // The first `size` bytes of the recorded 32 KiB flash image.
    QByteArray flash(int size) const { return testfiles::readFile(m_dir.filePath("flash.bin")).left(size); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    bool m_running = false;
};
