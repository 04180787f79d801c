#pragma once

#include <string>

// The line the simulator serves: a pty pair whose master side is ours, or an
// existing tty such as a USB gadget's serial port. For a pty the simulator
// also keeps a slave fd open: without it the master reads EIO/POLLHUP every
// time a client closes the port, and the next client would find a dead line.
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
    const std::string &slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::string m_linkPath;
};
