#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The simulated bootloader (bin/stk500sim) on a fresh pseudo-terminal, with
// its flash image recorded in a private folder.
class Stk500SimProcess {
public:
    explicit Stk500SimProcess(const QStringList &extraArgs = {});
    ~Stk500SimProcess();

    bool isRunning() const { return !m_slavePath.isEmpty(); }
    // A stable name for the pty: a symlink in the private folder.
    const QString &portPath() const { return m_linkPath; }
    const QString &slavePath() const { return m_slavePath; }
    // The first `size` bytes of the recorded 32 KiB flash image.
    QByteArray flash(int size) const;
    QString dirPath() const { return m_dir.path(); }
    void stop();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_linkPath;
    QString m_flashPath;
    QString m_slavePath;
};
