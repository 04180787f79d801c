#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A device simulator from bin/ (velta-gadgetdevice in the test VM) run for
// one test, and the lines it printed: READY, RX <hex>, IMAGE <path>, DRIVE <path>.
class SimDevice {
public:
    explicit SimDevice(QString program = QStringLiteral("velta-gadgetdevice")) : program_(std::move(program)) {}
    ~SimDevice() { stop(); }

    // Waits up to 10 s for READY; log() tells why not.
    bool start(const QStringList &arguments);
    // SIGTERM, then SIGKILL if it lingers; all it printed is read then.
    void stop();

    // What it printed so far (the event loop reads it): each SysEx received, "F0 7D ... F7".
    QStringList received() { return lines("RX "); }
    // The boot drive's folder and file system image, once it has one.
    QString drive() { return lines("DRIVE ").value(lines("DRIVE ").size() - 1); }
    QString image() { return lines("IMAGE ").value(lines("IMAGE ").size() - 1); }
    // Its stderr.
    QString log();

private:
    QStringList lines(const QString &prefix);

    QString program_;
    QProcess process_;
    QByteArray out_;
    QString err_;
};
