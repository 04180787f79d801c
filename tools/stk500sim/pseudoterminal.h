#pragma once

#include <string>

// The line the simulator serves: a pty pair whose master side is ours, or an
// existing tty such as a USB gadget's serial port. For a pty no slave fd is
// kept open, as no board holds its own port open: while no client has the
// port, the master polls POLLHUP and reads EIO (see awaitingClient), and the
// next client finds the line as it was set.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // Opens the pair in raw mode; the master is non-blocking.
    bool open(std::string &error);
    // Serves `path` itself, raw and non-blocking, in place of a master.
    bool openExisting(const std::string &path, std::string &error);
    // Points `path` at the slave; replaces a stale symlink, never a real file.
    bool link(const std::string &path, std::string &error);
    // Drops both ends and the symlink, as if the cable had been pulled.
    void close();

    int masterFd() const { return m_master; }
    bool isOwnPair() const { return m_ownPair; }
    // A pty of ours with no client on its slave side: nothing to read yet.
    bool awaitingClient(short pollEvents) const;
    const std::string &slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    bool m_ownPair = false;
    std::string m_slavePath;
    std::string m_linkPath;
};
