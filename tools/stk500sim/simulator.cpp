#include "simulator.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <poll.h>
#include <unistd.h>

namespace {

// A packet arrives in one write() from avrdude, so a gap this long inside
// one means its sender died. It stays below avrdude's 250 ms drain window,
// so the next run's first GET_SYNC is already parsed afresh.
constexpr auto PacketGap = std::chrono::milliseconds(200);

// How long a blocked answer may wait for the slave's input queue to drain;
// only fills up when no client is reading, and then the answer is moot.
constexpr int SendTimeoutMs = 2000;

void onSignal(int signo)
{
    Simulator::stopSignal = signo;
}

} // namespace

volatile std::sig_atomic_t Simulator::stopSignal = 0;

Simulator::Simulator(const Options &options)
    : m_options(options)
    , m_target(options.signature)
{
}

bool Simulator::setUp()
{
    std::string error;
    if (!m_options.logPath.empty() && !m_log.open(m_options.logPath, error)) {
        std::fprintf(stderr, "stk500sim: %s\n", error.c_str());
        return false;
    }
    const bool opened = m_options.ttyPath.empty() ? m_pty.open(error) : m_pty.openExisting(m_options.ttyPath, error);
    if (!opened || (!m_options.linkPath.empty() && !m_pty.link(m_options.linkPath, error))) {
        std::fprintf(stderr, "stk500sim: %s\n", error.c_str());
        return false;
    }
    m_target.trace = [this](const std::string &text) { m_log.line(text); };
    if (m_options.silent)
        m_target.goQuietAfterPages(0);
    else if (m_options.quietAfterPages)
        m_target.goQuietAfterPages(*m_options.quietAfterPages);

    // An erased image from the start, so a reader never has to tell "no
    // file yet" from "nothing written".
    saveFlash();
    m_log.line("serving " + m_pty.slavePath());
    std::printf("%s %s\n", m_options.ttyPath.empty() ? "PTY" : "TTY", m_pty.slavePath().c_str());
    std::fflush(stdout);
    return true;
}

int Simulator::run()
{
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!setUp())
        return 1;

    while (!stopSignal) {
        // Between packets there is nothing to do until the host speaks or a
        // signal arrives, so that wait is unbounded; inside a packet it is
        // bounded by PacketGap.
        timespec timeout{};
        timespec *timeoutPtr = nullptr;
        if (m_target.midPacket()) {
            const auto left = PacketGap - (std::chrono::steady_clock::now() - m_lastByte);
            const auto ns = std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
            timeout.tv_sec = time_t(ns / 1000000000);
            timeout.tv_nsec = long(ns % 1000000000);
            timeoutPtr = &timeout;
        }
        pollfd pfd{m_pty.masterFd(), POLLIN, 0};
        const int rc = ppoll(&pfd, 1, timeoutPtr, &previous);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "stk500sim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (rc == 0) {
            m_target.abandonPacket();
            continue;
        }
        if (pfd.revents & POLLIN) {
            if (!serveInput())
                return 1;
            if (m_pulled)
                return 0;
        } else if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Cannot happen on a pty while we hold the slave open; a served
            // tty hangs up when its device goes away. Bail out rather than
            // spin on it.
            std::fprintf(stderr, "stk500sim: %s hung up\n", m_pty.slavePath().c_str());
            return 1;
        }
    }
    m_log.line("stopped by signal " + std::to_string(int(stopSignal)));
    return 0;
}

bool Simulator::serveInput()
{
    std::uint8_t buffer[4096];
    const ssize_t n = read(m_pty.masterFd(), buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return true;
        std::fprintf(stderr, "stk500sim: read: %s\n", std::strerror(errno));
        return false;
    }
    m_lastByte = std::chrono::steady_clock::now();
    if (m_target.quiet()) {
        m_log.line("quiet: ignored " + std::to_string(n) + " bytes");
        return true;
    }
    std::vector<std::uint8_t> answer;
    const int pagesBefore = m_target.pagesWritten();
    for (ssize_t i = 0; i < n; ++i) {
        m_target.receive(buffer[i], answer);
        // Saved before the acknowledgement goes out, so once avrdude has
        // finished the file holds everything it wrote.
        saveFlash();
        if (m_options.closeAfterPages && m_target.pagesWritten() >= *m_options.closeAfterPages) {
            send(answer);
            m_log.line("pulling the plug after " + std::to_string(m_target.pagesWritten()) + " pages");
            m_pty.close();
            m_pulled = true;
            return true;
        }
        if (m_target.quiet()) {
            m_log.line("gone quiet after " + std::to_string(m_target.pagesWritten()) + " pages");
            break;
        }
    }
    // A real chip answers a page write only once the page is programmed.
    if (const int pages = m_target.pagesWritten() - pagesBefore; pages > 0 && m_options.pageMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.pageMs * pages));
    return send(answer);
}

bool Simulator::send(const std::vector<std::uint8_t> &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_pty.masterFd(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{m_pty.masterFd(), POLLOUT, 0};
            if (poll(&pfd, 1, SendTimeoutMs) > 0)
                continue;
            m_log.line("dropped " + std::to_string(bytes.size() - done) + " answer bytes: nobody reads");
            return true;
        }
        std::fprintf(stderr, "stk500sim: write: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

void Simulator::saveFlash()
{
    if (m_options.flashOutPath.empty() || m_target.flashGeneration() == m_savedGeneration)
        return;
    std::string error;
    if (m_target.flash().saveAtomically(m_options.flashOutPath, error))
        m_savedGeneration = m_target.flashGeneration();
    else
        std::fprintf(stderr, "stk500sim: %s\n", error.c_str());
}
