#include "pseudoterminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::~PseudoTerminal()
{
    close();
}

bool PseudoTerminal::open(std::string &error)
{
    auto fail = [&](const char *what) {
        error = std::string(what) + ": " + std::strerror(errno);
        close();
        return false;
    };
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return fail("posix_openpt");
    if (grantpt(m_master) != 0)
        return fail("grantpt");
    if (unlockpt(m_master) != 0)
        return fail("unlockpt");
    const char *name = ptsname(m_master);
    if (!name)
        return fail("ptsname");
    m_slavePath = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return fail("open slave");

    // Raw on the slave side: no echo of our own answers back to us, no CR/LF
    // mangling of binary data before the client sets its own modes.
    // The modes stay with the pair after the slave is closed.
    termios tio{};
    bool raw = tcgetattr(slave, &tio) == 0;
    if (raw) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        raw = tcsetattr(slave, TCSANOW, &tio) == 0;
    }
    ::close(slave);
    if (!raw)
        return fail("raw mode");
    m_ownPair = true;

    const int flags = fcntl(m_master, F_GETFL);
    if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("fcntl O_NONBLOCK");
    return true;
}

bool PseudoTerminal::openExisting(const std::string &path, std::string &error)
{
    m_master = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios tio{};
    if (m_master < 0 || tcgetattr(m_master, &tio) != 0) {
        error = path + ": " + std::strerror(errno);
        close();
        return false;
    }
    // A gadget's tty starts cooked, with echo: that would bounce every
    // command back to the host as an answer.
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(m_master, TCSANOW, &tio) != 0) {
        error = path + ": tcsetattr: " + std::strerror(errno);
        close();
        return false;
    }
    m_slavePath = path;
    return true;
}

bool PseudoTerminal::link(const std::string &path, std::string &error)
{
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path + " exists and is not a symlink";
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(m_slavePath.c_str(), path.c_str()) != 0) {
        error = "symlink " + path + ": " + std::strerror(errno);
        return false;
    }
    m_linkPath = path;
    return true;
}

void PseudoTerminal::close()
{
    if (!m_linkPath.empty()) {
        // Only our own link: a newer simulator may have taken the name over.
        char target[4096];
        const ssize_t n = readlink(m_linkPath.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, std::size_t(n)) == m_slavePath)
            unlink(m_linkPath.c_str());
        m_linkPath.clear();
    }
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_ownPair = false;
}

bool PseudoTerminal::awaitingClient(short pollEvents) const
{
    return m_ownPair && (pollEvents & POLLHUP) && !(pollEvents & POLLIN);
}
