#pragma once

#include "support/processprobe.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QProcess>

#include <pwd.h>

// The desktop session of the test VM (tests/vm/desktop.sh): its user, and a
// way for a test running as root to run something as that user.
namespace desktopsession {

inline const QString user = QStringLiteral("velta");
// Where the root side leaves files for the user (readable by all).
inline const QString exchange = QStringLiteral("/tmp/velta-desktop");

// "device mount-point type options" of the boot drive's mount, or empty.
inline QStringList bootDriveMount()
{
    for (const QByteArray &line : testfiles::readFile("/proc/self/mounts").split('\n'))
        if (line.split(' ').value(1).endsWith("/RPI-RP2"))
            return QString::fromUtf8(line).split(' ').mid(0, 4);
    return {};
}

// True once desktop.sh has set the session up.
inline bool isUp()
{
    return QFile::exists("/run/velta-desktop/udisksd.pid");
}

inline QString bin(const QString &program) { return QCoreApplication::applicationDirPath() + '/' + program; }

// Runs `program` (from bin/ unless a path) as the user in a fresh login (the groups as
// /etc/group has them now, a clean environment); its exit code, or -1 when
// it did not end within `timeoutMs`. `output` gets stdout and stderr.
inline int runAsUser(const QString &program, const QStringList &arguments, int timeoutMs, QString *output)
{
    const passwd *entry = getpwnam(qPrintable(user));
    const QString uid = QString::number(entry->pw_uid);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("setpriv", QStringList{"--reuid", uid, "--regid", QString::number(entry->pw_gid), "--init-groups", "--",
                                         "env", "-i", "HOME=" + QString::fromLocal8Bit(entry->pw_dir), "USER=" + user,
                                         "LOGNAME=" + user, "PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=/run/user/" + uid,
                                         "QT_QPA_PLATFORM=offscreen", "LANG=C.UTF-8",
                                         program.startsWith('/') ? program : bin(program)}
                             + arguments);
    const bool finished = processprobe::finishWithin(process, timeoutMs);
    *output = QString::fromUtf8(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace desktopsession
