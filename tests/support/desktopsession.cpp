#include "support/desktopsession.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <pwd.h>

namespace desktopsession {

QStringList bootDriveMount()
{
    QFile mounts("/proc/self/mounts");
    if (!mounts.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(' ');
        if (fields.size() > 3 && fields.at(1).endsWith("/RPI-RP2"))
            return fields.mid(0, 4);
    }
    return {};
}

bool isUp()
{
    return getpwnam(qPrintable(user)) && QFile::exists("/run/velta-desktop/udisksd.pid");
}

int runAsUser(const QString &program, const QStringList &arguments, int timeoutMs, QString *output)
{
    const passwd *entry = getpwnam(qPrintable(user));
    if (!entry)
        return -1;
    const QString uid = QString::number(entry->pw_uid);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("setpriv", QStringList{"--reuid", uid, "--regid", QString::number(entry->pw_gid), "--init-groups",
                                         "--", "env", "-i", "HOME=" + QString::fromLocal8Bit(entry->pw_dir),
                                         "USER=" + user, "LOGNAME=" + user, "PATH=/usr/local/bin:/usr/bin:/bin",
                                         "XDG_RUNTIME_DIR=/run/user/" + uid, "QT_QPA_PLATFORM=offscreen",
                                         "LANG=C.UTF-8", QCoreApplication::applicationDirPath() + '/' + program}
                             + arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished)
        process.kill();
    process.waitForFinished(5000);
    *output = QString::fromUtf8(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace desktopsession
