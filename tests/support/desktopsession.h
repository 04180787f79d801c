#pragma once

#include <QString>
#include <QStringList>

// The desktop session of the test VM (tests/vm/desktop.sh): its user, and a
// way for a test running as root to run something as that user.
namespace desktopsession {

inline const QString user = QStringLiteral("velta");
// Where the root side leaves files for the user (readable by all).
inline const QString exchange = QStringLiteral("/tmp/velta-desktop");

// "device mount-point type options" of the boot drive's mount, or empty.
QStringList bootDriveMount();

// True once desktop.sh has set the session up.
bool isUp();

// Runs `program` from bin/ as the user in a fresh login (the groups as
// /etc/group has them now, a clean environment); its exit code, or -1 when
// it did not end within `timeoutMs`. `output` gets stdout and stderr.
int runAsUser(const QString &program, const QStringList &arguments, int timeoutMs, QString *output);

} // namespace desktopsession
