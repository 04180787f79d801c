#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What the command line asked the simulator to be and how to misbehave.
class Options
{
public:
    // Returns nothing and fills `error` when the arguments make no sense.
    static std::optional<Options> parse(int argc, char **argv, std::string &error);
    static std::string usage(const char *program);

    std::string linkPath;
    std::string ttyPath;
    std::string flashOutPath;
    std::string logPath;
    std::array<std::uint8_t, 3> signature{0x1e, 0x95, 0x14};
    bool silent = false;
    std::optional<int> quietAfterPages;
    std::optional<int> closeAfterPages;
    int pageMs = 0;
    bool help = false;
};
