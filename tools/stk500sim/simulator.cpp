#include "simulator.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

// A packet arrives in one write() from avrdude, so a gap this long inside
// one means its sender died. It stays below avrdude's 250 ms drain window,
// so the next run's first GET_SYNC is already parsed afresh.
constexpr auto PacketGap = std::chrono::milliseconds(200);

// How long a blocked answer may wait for the slave's input queue to drain;
// only fills up when no client is reading, and then the answer is moot.
constexpr int SendTimeoutMs = 2000;
// How often a port nobody has open is looked at again.
constexpr int ClientPollMs = 10;

// Temp file + rename, so a concurrent reader sees the old or the new image,
// never a torn one.
bool saveAtomically(const std::vector<std::uint8_t> &bytes, const std::string &path)
{
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR)
            break;
        done += std::size_t(std::max<ssize_t>(n, 0));
    }
    if (::close(fd) != 0 || done < bytes.size() || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool Simulator::setUp()
{
    std::string error;
    const bool opened = m_options.ttyPath.empty() ? m_pty.open(error) : m_pty.openExisting(m_options.ttyPath, error);
    if (!opened || (!m_options.linkPath.empty() && !m_pty.link(m_options.linkPath, error))) {
        std::fprintf(stderr, "stk500sim: %s\n", error.c_str());
        return false;
    }
    if (m_options.quietAfterPages)
        m_target.goQuietAfterPages(*m_options.quietAfterPages);
    if (!m_options.inputOutPath.empty()) {
        m_inputOut = ::open(m_options.inputOutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (m_inputOut < 0) {
            std::fprintf(stderr, "stk500sim: %s: %s\n", m_options.inputOutPath.c_str(), std::strerror(errno));
            return false;
        }
    }

    // An erased image from the start, so a reader never has to tell "no
    // file yet" from "nothing written".
    saveFlash();
    std::printf("%s %s\n", m_options.ttyPath.empty() ? "PTY" : "TTY", m_pty.slavePath().c_str());
    std::fflush(stdout);
    return true;
}

int Simulator::run()
{
    if (!setUp())
        return 1;

    while (!m_stop.arrived()) {
        // Between packets there is nothing to do until the host speaks or a
        // stop comes, so that wait is unbounded; inside a packet it is
        // bounded by PacketGap.
        int timeoutMs = -1;
        if (m_target.midPacket()) {
            const auto left = PacketGap - (std::chrono::steady_clock::now() - m_lastByte);
            timeoutMs = int(std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        }
        pollfd fds[2] = {{m_pty.masterFd(), POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        const int rc = poll(fds, 2, timeoutMs);
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
        if (m_pty.awaitingClient(fds[0].revents)) {
            // The master polls POLLHUP until a client opens the port: look again soon.
            poll(&fds[1], 1, ClientPollMs);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            if (!serveInput())
                return 1;
            if (m_pulled)
                return 0;
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // A served tty hangs up when its device goes away. Bail out
            // rather than spin on it.
            std::fprintf(stderr, "stk500sim: %s hung up\n", m_pty.slavePath().c_str());
            return 1;
        }
    }
    return 0;
}

bool Simulator::serveInput()
{
    std::uint8_t buffer[4096];
    const ssize_t n = read(m_pty.masterFd(), buffer, sizeof buffer);
    if (n < 0) {
        // EIO: the client closed the port; whatever it sent was read before.
        if (errno == EAGAIN || errno == EINTR || (errno == EIO && m_pty.isOwnPair()))
            return true;
        std::fprintf(stderr, "stk500sim: read: %s\n", std::strerror(errno));
        return false;
    }
    m_lastByte = std::chrono::steady_clock::now();
    // Whatever reached the line, also what no boot loader would answer.
    if (m_inputOut >= 0 && n > 0 && ::write(m_inputOut, buffer, std::size_t(n)) != n)
        std::fprintf(stderr, "stk500sim: cannot log the input: %s\n", std::strerror(errno));
    std::vector<std::uint8_t> answer;
    const int pagesBefore = m_target.pagesWritten();
    for (ssize_t i = 0; i < n && !m_target.quiet(); ++i) {
        m_target.receive(buffer[i], answer);
        // Saved before the acknowledgement goes out, so once avrdude has
        // finished the file holds everything it wrote.
        saveFlash();
        if (m_options.closeAfterPages && m_target.pagesWritten() >= *m_options.closeAfterPages) {
            send(answer);
            m_pty.close();
            m_pulled = true;
            return true;
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
            return true; // nobody reads: the answer is dropped
        }
        std::fprintf(stderr, "stk500sim: write: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

void Simulator::saveFlash()
{
    if (m_options.flashOutPath.empty() || m_target.pagesWritten() == m_savedPages)
        return;
    if (saveAtomically(m_target.flash(), m_options.flashOutPath))
        m_savedPages = m_target.pagesWritten();
    else
        std::fprintf(stderr, "stk500sim: cannot save %s: %s\n", m_options.flashOutPath.c_str(), std::strerror(errno));
}
