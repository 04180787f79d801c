#include "options.h"

#include <charconv>
#include <string_view>

namespace {

bool parseCount(std::string_view text, int &out)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= 0;
}

// "1e:95:0f" -> three bytes; anything else is rejected rather than guessed.
bool parseSignature(std::string_view text, std::array<std::uint8_t, 3> &out)
{
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (text.size() < 2)
            return false;
        unsigned value = 0;
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + 2, value, 16);
        if (ec != std::errc() || ptr != text.data() + 2)
            return false;
        out[i] = std::uint8_t(value);
        text.remove_prefix(2);
        if (i + 1 < out.size()) {
            if (text.empty() || text.front() != ':')
                return false;
            text.remove_prefix(1);
        }
    }
    return text.empty();
}

} // namespace

std::optional<Options> Options::parse(int argc, char **argv, std::string &error)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view &out) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string_view v;
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--silent") {
            o.silent = true;
        } else if (arg == "--link" || arg == "--flash-out" || arg == "--log" || arg == "--tty") {
            if (!value(v))
                return std::nullopt;
            if (v.empty()) {
                error = std::string(arg) + " needs a non-empty path";
                return std::nullopt;
            }
            (arg == "--link"        ? o.linkPath
             : arg == "--flash-out" ? o.flashOutPath
             : arg == "--tty"       ? o.ttyPath
                                    : o.logPath) = v;
        } else if (arg == "--signature") {
            if (!value(v))
                return std::nullopt;
            if (!parseSignature(v, o.signature)) {
                error = "--signature wants three hex bytes like 1e:95:14";
                return std::nullopt;
            }
        } else if (arg == "--page-ms") {
            if (!value(v))
                return std::nullopt;
            if (!parseCount(v, o.pageMs)) {
                error = "--page-ms wants a number of milliseconds >= 0";
                return std::nullopt;
            }
        } else if (arg == "--quiet-after-pages" || arg == "--close-after-pages") {
            if (!value(v))
                return std::nullopt;
            int n = 0;
            if (!parseCount(v, n)) {
                error = std::string(arg) + " wants a page count >= 0";
                return std::nullopt;
            }
            (arg == "--quiet-after-pages" ? o.quietAfterPages : o.closeAfterPages) = n;
        } else {
            error = "unknown argument: " + std::string(arg);
            return std::nullopt;
        }
    }
    return o;
}

std::string Options::usage(const char *program)
{
    return std::string("usage: ") + program + " [options]\n"
        "Serves an STK500v1 bootloader (ATmega328, 32 KiB flash) on a new pty and\n"
        "prints 'PTY <slave path>' on stdout.\n"
        "  --tty PATH               serve the existing tty PATH instead (raw mode) and\n"
        "                           print 'TTY <path>'\n"
        "  --link PATH              symlink PATH to the pty slave (removed on exit)\n"
        "  --flash-out FILE         rewrite FILE with the 32 KiB flash after every change\n"
        "  --log FILE               append a protocol trace to FILE\n"
        "  --signature XX:XX:XX     device signature (default 1e:95:14)\n"
        "  --silent                 read commands but never answer\n"
        "  --page-ms N              take N ms to program each flash page, as a chip does\n"
        "  --quiet-after-pages N    stop answering for good after N page writes\n"
        "  --close-after-pages N    after N page writes close the pty and exit\n";
}
