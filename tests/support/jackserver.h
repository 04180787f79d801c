#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private jackd with the dummy driver, for one test. The name is chosen at
// construction and kept, so a stopped server can come back under it.
class JackServer {
public:
    JackServer();
    ~JackServer();
    JackServer(const JackServer &) = delete;
    JackServer &operator=(const JackServer &) = delete;

    // False when jackd did not take clients within 10 s; log() tells why.
    bool start();
    // SIGTERM (thawing it first so it can act), then SIGKILL if it lingers.
    void stop();
    // SIGKILL: the server dies without telling its clients.
    void kill();
    // SIGSTOP, returning once every thread of jackd has stopped.
    void freeze();
    void thaw();

    QString name() const { return name_; }
    qint64 pid() const;
    // What jackd printed; it never goes to the test's own output.
    QString log() const;

private:
    void reap();
    void removeLeftovers();

    QString name_;
    QTemporaryDir dir_;
    QProcess process_;
    // JACK's registry has room for a few servers only; each one that died
    // without unregistering would hold its entry for good.
    bool diedUnregistered_ = false;
};
