#pragma once

#include <QString>
#include <QStringList>

// The desktop session of the test VM (tests/vm/desktop.sh): its user, and
// a way for a test running as root to run the updater's part as that user.
namespace desktopsession {

inline const QString user = QStringLiteral("velta");
// Where the root part leaves files for the user's part (readable by all).
inline const QString exchange = QStringLiteral("/tmp/velta-desktop");

// "device mount-point type options" of the boot drive's mount (a mount
// point ending in /RPI-RP2), empty when it is not mounted.
QStringList bootDriveMount();

// True when desktop.sh has set the session up.
bool isUp();

// Runs `program` (a file in bin/) with `arguments` as the user, in a fresh
// login: the user's groups as /etc/group has them now, the session's
// environment. Waits up to `timeoutMs`; the exit code, or -1 when it did not
// finish. `output` gets what it printed.
int runAsUser(const QString &program, const QStringList &arguments, int timeoutMs, QString *output);

} // namespace desktopsession
