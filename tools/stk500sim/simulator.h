#pragma once

#include "options.h"
#include "pseudoterminal.h"
#include "stk500target.h"
#include "tracelog.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <vector>

// Serves one Stk500Target on a pty (or a given tty) until a signal arrives
// or a fault switch pulls the plug.
class Simulator
{
public:
    explicit Simulator(const Options &options);

    // Returns the process exit status.
    int run();

    // Set from the signal handler; ppoll() is only interruptible while the
    // signals are unblocked, so no wakeup is lost.
    static volatile std::sig_atomic_t stopSignal;

private:
    bool setUp();
    bool serveInput();
    bool send(const std::vector<std::uint8_t> &bytes);
    void saveFlash();

    Options m_options;
    PseudoTerminal m_pty;
    Stk500Target m_target;
    TraceLog m_log;
    std::uint64_t m_savedGeneration = ~std::uint64_t(0);
    std::chrono::steady_clock::time_point m_lastByte;
    bool m_pulled = false;
};
