#include "jackserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <atomic>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Asks from a process of its own (jack_wait opens a client with
// JackNoStartServer): libjack frees every client of a process on its next open
// after one of their servers went away, so an open in the test process could
// pull a client from under the code being tested.
bool serverAnswers(const QString &name)
{
    QProcess check;
    check.start(QStringLiteral("jack_wait"), {QStringLiteral("-s"), name, QStringLiteral("-c")});
    if (!check.waitForFinished(5000)) {
        check.kill();
        check.waitForFinished();
        return false;
    }
    return check.readAllStandardOutput().trimmed() == "running";
}

bool allThreadsStopped(pid_t process)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(process);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &thread : threads) {
        QFile stat(tasks + QLatin1Char('/') + thread + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue; // the thread has ended
        // "tid (name) S ...": the state follows the last parenthesis.
        const QByteArray line = stat.readAll();
        const qsizetype state = line.lastIndexOf(')') + 2;
        if (state >= line.size() || line[state] != 'T')
            return false;
    }
    return !threads.isEmpty();
}

} // namespace

JackServer::JackServer()
{
    static std::atomic<int> counter{0};
    name_ = QStringLiteral("velta-test-%1-%2").arg(getpid()).arg(++counter);
}

JackServer::~JackServer()
{
    stop();
    // JACK's registry frees the entry of a server that died without
    // unregistering only when one of the same name starts.
    if (diedUnregistered_ && start())
        stop();
}

qint64 JackServer::pid() const
{
    return process_.processId();
}

QString JackServer::log() const
{
    QFile file(dir_.filePath(QStringLiteral("jackd.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool JackServer::start()
{
    const QString logFile = dir_.filePath(QStringLiteral("jackd.log"));
    process_.setStandardOutputFile(logFile, QIODevice::Append);
    process_.setStandardErrorFile(logFile, QIODevice::Append);
    process_.setChildProcessModifier([] {
        // jackd writes to client sockets while shutting down; one that closed
        // just then would kill it with SIGPIPE, before it unregisters.
        ::signal(SIGPIPE, SIG_IGN);
        // A test that crashes takes its server down with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    // Realtime, as JACK is meant to run: CI runs tests side by side on two
    // cores, and a starved graph misses cycles (xruns), which fail sends.
    // Where realtime scheduling is not allowed jackd runs without it.
    process_.start(QStringLiteral("jackd"),
                   {QStringLiteral("--realtime"), QStringLiteral("-n"), name_, QStringLiteral("-d"),
                    QStringLiteral("dummy"), QStringLiteral("-r"), QStringLiteral("48000"),
                    QStringLiteral("-p"), QStringLiteral("256")});
    if (!process_.waitForStarted(5000))
        return false;

    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
        if (serverAnswers(name_)) {
            diedUnregistered_ = false;
            return true;
        }
        QThread::msleep(50);
    }
    stop();
    return false;
}

void JackServer::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(pid()), SIGTERM);
    // A stopped process keeps SIGTERM pending until it runs again.
    ::kill(pid_t(pid()), SIGCONT);
    if (!process_.waitForFinished(5000))
        ::kill(pid_t(pid()), SIGKILL);
    reap();
}

void JackServer::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(pid()), SIGKILL);
    reap();
}

void JackServer::freeze()
{
    const pid_t server = pid_t(pid());
    ::kill(server, SIGSTOP);
    // The stop reaches jackd's threads one by one, and on a busy machine one
    // can still answer a request after kill() returned: wait until all are
    // stopped.
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && !allThreadsStopped(server))
        QThread::msleep(1);
}

void JackServer::thaw()
{
    ::kill(pid_t(pid()), SIGCONT);
}

void JackServer::reap()
{
    // SIGKILL ends even a stopped process, so this wait is short.
    process_.waitForFinished(5000);
    if (process_.exitStatus() == QProcess::CrashExit)
        diedUnregistered_ = true;
    removeLeftovers();
}

void JackServer::removeLeftovers()
{
    // A server that didn't exit cleanly leaves its socket and semaphore files.
    // Its shared memory segments are in JACK's registry, and go when the
    // next server starts.
    QDir shm(QStringLiteral("/dev/shm"));
    const QStringList patterns{QStringLiteral("jack_%1_*").arg(name_),
                               QStringLiteral("jack_sem.%1_%2_*").arg(getuid()).arg(name_)};
    for (const QString &entry : shm.entryList(patterns, QDir::Files | QDir::System))
        shm.remove(entry);
}
