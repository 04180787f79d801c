#pragma once

#include <csignal>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

// How the simulators stop: SIGTERM, SIGINT or SIGHUP, blocked from the start
// and read from a descriptor the tool polls beside its input, so no stop is
// lost between a check and a wait and the clean-up always runs. SIGPIPE is
// ignored: a reader that went away shows as a failed write.
class StopSignal {
public:
    StopSignal()
    {
        sigemptyset(&m_set);
        for (const int signo : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&m_set, signo);
        sigprocmask(SIG_BLOCK, &m_set, nullptr);
        m_fd = signalfd(-1, &m_set, SFD_CLOEXEC);
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~StopSignal() { ::close(m_fd); }
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    int fd() const { return m_fd; }
    // Waits up to `ms` for a stop signal (0: only looks); true once one came.
    bool arrived(int ms = 0)
    {
        pollfd pfd{m_fd, POLLIN, 0};
        if (!m_arrived && ::poll(&pfd, 1, ms) > 0) {
            signalfd_siginfo info;
            m_arrived = ::read(m_fd, &info, sizeof info) > 0;
        }
        return m_arrived;
    }

    // In a child before exec: what the tool blocked and ignored, undone.
    static void resetInChild()
    {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::signal(SIGPIPE, SIG_DFL);
    }

private:
    sigset_t m_set;
    int m_fd = -1;
    bool m_arrived = false;
};
