// velta-simdevice: a stand-in for the device in tests. Its MIDI port lives on
// a JACK server; on the update command it "restarts" into a boot drive.
//
// stdout (one line each, flushed): READY, RX <hex>, DRIVE <path>,
// WROTE <name> <size>. Everything else goes to stderr.

#include "jackinput.h"
#include "simdrive.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/signalfd.h>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QByteArray updateCommand = QByteArray::fromHex("F07D564C3256454C54413201F7");

void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void note(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts (libjack's included), so SIGTERM and
    // SIGINT arrive only through the signalfd and end the event loop cleanly.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated device for tests"));
    parser.addHelpOption();
    const QCommandLineOption serverOption(QStringLiteral("server"), QStringLiteral("JACK server name."),
                                          QStringLiteral("NAME"));
    const QCommandLineOption clientOption(QStringLiteral("client"), QStringLiteral("JACK client name."),
                                          QStringLiteral("NAME"), QStringLiteral("VELTA 2"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("MIDI input port name."),
                                        QStringLiteral("NAME"), QStringLiteral("MIDI 1"));
    const QCommandLineOption volumesOption(
        QStringLiteral("volumes"), QStringLiteral("Folder the boot drive appears in after a restart."),
        QStringLiteral("DIR"));
    const QCommandLineOption delayOption(QStringLiteral("restart-delay-ms"),
                                         QStringLiteral("Time from update command to boot drive."),
                                         QStringLiteral("N"), QStringLiteral("300"));
    const QCommandLineOption vanishOption(QStringLiteral("vanish-on-restart"),
                                          QStringLiteral("Leave JACK when restarting."));
    parser.addOptions({serverOption, clientOption, portOption, volumesOption, delayOption, vanishOption});
    parser.process(app);

    bool delayOk = false;
    const int restartDelay = parser.value(delayOption).toInt(&delayOk);
    if (!delayOk || restartDelay < 0) {
        note(QStringLiteral("bad --restart-delay-ms"));
        return 2;
    }
    const QString volumes = parser.value(volumesOption);
    const bool vanish = parser.isSet(vanishOption);

    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        note(QStringLiteral("signalfd failed"));
        return 1;
    }
    QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        app.quit();
    });

    JackInput input;
    SimDrive drive;
    QString error;
    if (!input.open(parser.value(serverOption), parser.value(clientOption), parser.value(portOption), &error)) {
        note(error);
        return 1;
    }
    say(QStringLiteral("READY"));

    bool restarting = false;
    QObject::connect(&input, &JackInput::received, &app, [&](const QByteArray &message) {
        say(QStringLiteral("RX ") + QString::fromLatin1(message.toHex(' ').toUpper()));
        if (message != updateCommand) {
            note(QStringLiteral("ignored: not the update command"));
            return;
        }
        if (volumes.isEmpty()) {
            note(QStringLiteral("update command: no --volumes, so no restart"));
            return;
        }
        if (restarting)
            return;
        restarting = true;
        QTimer::singleShot(restartDelay, &app, [&] {
            if (vanish)
                input.close();
            QString mountError;
            if (!drive.mount(volumes, &mountError)) {
                note(mountError);
                return;
            }
            say(QStringLiteral("DRIVE ") + drive.path());
        });
    });
    QObject::connect(&drive, &SimDrive::fileWritten, &app, [](const QString &name, qint64 size) {
        say(QStringLiteral("WROTE %1 %2").arg(name).arg(size));
    });
    // The device itself stays: only its MIDI side is gone with the server.
    QObject::connect(&input, &JackInput::serverGone, &app,
                     [] { note(QStringLiteral("JACK server gone")); });

    const int status = app.exec();
    input.close();
    close(signalFd);
    return status;
}
