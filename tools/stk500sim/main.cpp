// stk500sim: an STK500v1 bootloader (ATmega328, 32 KiB flash) for the real
// avrdude, on a new pty ("PTY <slave path>" on stdout) or an existing tty.
#include "simulator.h"

#include <charconv>
#include <cstdio>
#include <string_view>

namespace {

const char *const usage =
    "usage: stk500sim [options]\n"
    "  --tty PATH               serve the existing tty PATH (raw mode), print 'TTY <path>'\n"
    "  --link PATH              symlink PATH to the pty slave (removed on exit)\n"
    "  --flash-out FILE         rewrite FILE with the 32 KiB flash after every page\n"
    "  --input-out FILE         append every byte received to FILE\n"
    "  --signature XX:XX:XX     device signature (default 1e:95:14)\n"
    "  --page-ms N              take N ms to program each flash page, as a chip does\n"
    "  --quiet-after-pages N    stop answering for good after N page writes\n"
    "  --close-after-pages N    after N page writes close the line and exit\n";

bool parseCount(std::string_view text, int &out)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= 0;
}

// "1e:95:0f" -> three bytes.
bool parseSignature(std::string_view text, std::array<std::uint8_t, 3> &out)
{
    if (text.size() != 8 || text[2] != ':' || text[5] != ':')
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char *first = text.data() + 3 * i;
        auto [ptr, ec] = std::from_chars(first, first + 2, out[i], 16);
        if (ec != std::errc() || ptr != first + 2)
            return false;
    }
    return true;
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string_view value = argv[++i];
        int count = 0;
        if (arg == "--tty" || arg == "--link" || arg == "--flash-out")
            (arg == "--tty" ? o.ttyPath : arg == "--link" ? o.linkPath : o.flashOutPath) = value;
        else if (arg == "--input-out")
            o.inputOutPath = value;
        else if (arg == "--signature" && parseSignature(value, o.signature))
            continue;
        else if (arg == "--page-ms" && parseCount(value, o.pageMs))
            continue;
        else if ((arg == "--quiet-after-pages" || arg == "--close-after-pages") && parseCount(value, count))
            (arg == "--quiet-after-pages" ? o.quietAfterPages : o.closeAfterPages) = count;
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs(usage, stderr);
        return 2;
    }
    return Simulator(options).run();
}
