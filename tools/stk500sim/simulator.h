#pragma once

#include "pseudoterminal.h"
#include "stk500target.h"
#include "stopsignal.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the command line asked the simulator to be and how to misbehave.
struct Options
{
    std::string linkPath;
    std::string ttyPath;
    std::string flashOutPath;
    std::string inputOutPath;
    std::array<std::uint8_t, 3> signature{0x1e, 0x95, 0x14};
    std::optional<int> quietAfterPages;
    std::optional<int> closeAfterPages;
    int pageMs = 0;
};

// Serves one Stk500Target on a pty (or a given tty) until a stop signal
// arrives or a fault switch pulls the plug.
class Simulator
{
public:
    explicit Simulator(const Options &options) : m_options(options), m_target(options.signature) {}

    // Returns the process exit status.
    int run();

private:
    bool setUp();
    bool serveInput();
    bool send(const std::vector<std::uint8_t> &bytes);
    void saveFlash();

    Options m_options;
    StopSignal m_stop;
    PseudoTerminal m_pty;
    Stk500Target m_target;
    int m_savedPages = -1; // the flash changes only with a page write
    std::chrono::steady_clock::time_point m_lastByte;
    bool m_pulled = false;
    int m_inputOut = -1;
};
