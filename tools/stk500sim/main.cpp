#include "options.h"
#include "simulator.h"

#include <cstdio>

int main(int argc, char **argv)
{
    std::string error;
    const auto options = Options::parse(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "stk500sim: %s\n%s", error.c_str(), Options::usage(argv[0]).c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(Options::usage(argv[0]).c_str(), stdout);
        return 0;
    }
    Simulator simulator(*options);
    return simulator.run();
}
