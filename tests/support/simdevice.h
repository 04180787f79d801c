#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// The simulated device run for one test, and what it reported on stdout:
// bin/velta-gadgetdevice (USB gadgets), in the real-kernel VM.
class SimDevice {
public:
    explicit SimDevice(QString program = QStringLiteral("velta-gadgetdevice")) : program_(std::move(program)) {}
    ~SimDevice();
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    // Starts it and waits up to 10 s for READY; log() tells why not.
    bool start(const QStringList &arguments);
    // SIGTERM, then SIGKILL if it lingers.
    void stop();

    // Reads output until `condition` holds or `timeoutMs` passes.
    bool waitFor(const std::function<bool()> &condition, int timeoutMs);

    // Bytes of each received message, "F0 7D ... F7".
    QStringList received();
    // The boot drive folder, once the device has restarted, and the file
    // system image behind it.
    QString drive();
    QString image();
    // "<file name> <size>" for each file copied onto the drive.
    QStringList written();
    // What it printed to stderr.
    QString log();

private:
    void readOutput();

    QString program_;
    QProcess process_;
    QByteArray partialLine_;
    bool ready_ = false;
    QStringList received_;
    QString drive_;
    QString image_;
    QStringList written_;
    QString log_;
};
