// velta-gadgetdevice: the device on a real kernel, played by USB gadgets on
// dummy_hcd. Runs as root inside the test VM (tests/vm/vmrun.sh).
//
//   velta-gadgetdevice midi [--never-drive | --stay] [DRIVE OPTIONS]
//   velta-gadgetdevice bootloader [--stay] [DRIVE OPTIONS]
//   velta-gadgetdevice other-drive [DRIVE OPTIONS]
//   velta-gadgetdevice serial [--product NAME] [--unplug-after-pages N] [stk500sim options...]
//   velta-gadgetdevice unplug
//   DRIVE OPTIONS: [--chip rp2040|rp2350] [--user NAME] [--mount self|desktop|none]
//
// stdout (one line each, flushed): READY, RX <hex>, IMAGE <path>,
// DRIVE <path>, RESTARTED, TTY <host-side tty>, UNPLUGGED. Diagnostics go
// to stderr.
//
// The VELTA sits on the first controller (dummy_udc.0). The update command
// turns it into its boot loader's drive ("bootloader" starts there). As the
// real one, the boot loader takes an image once the drive holds every block
// of it (see takenImage) and restarts: the drive goes, its mount left to
// whoever made it, and the MIDI personality comes back (RESTARTED), ready for
// the next command. --stay: the boot loader never takes the image.
// "other-drive" is another RP2 board waiting in its boot loader, on the
// second controller (dummy_udc.1), until stopped.
//
// A boot drive is a FAT image labelled after its chip (RPI-RP2, RP2350) with
// the chip's INFO_UF2.TXT, mounted for the user (--user, default: ours) under
// /media/<user>: by us as root (self, the default), by UDisks2 at the user's
// request as a desktop's automounter does (desktop; needs the session of
// tests/vm/desktop.sh), or not at all (none: only IMAGE is reported). READY
// comes once the MIDI port is shown, or the drive (bootloader, other-drive).
// SIGTERM, SIGINT or SIGHUP: unmount what we mounted, remove the gadget, exit 0.
//
// "unplug" is a command rather than a signal so that any process can pull
// the VELTA's cable without knowing which device runs: it unbinds whatever
// gadget the first controller has, and the running device then sits dead
// until SIGTERM.

#include "gadget.h"
#include "stopsignal.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The host side shows up in 1-2 s under emulation; 10 s means it never will.
constexpr int AppearTimeoutMs = 10000;
const std::string CardId = "VeltaGadget";
const std::string PortName = "VELTA 2 MIDI 1";
const std::vector<std::uint8_t> UpdateCommand = {0xF0, 0x7D, 0x56, 0x4C, 0x32, 0x56, 0x45,
                                                 0x4C, 0x54, 0x41, 0x32, 0x01, 0xF7};

// Made in main(), before anything else, so the clean-up always runs.
StopSignal *stopSignal = nullptr;

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void note(const std::string &text)
{
    std::fprintf(stderr, "velta-gadgetdevice: %s\n", text.c_str());
}

// A failed set-up is no failure when we were told to stop meanwhile.
int failUnlessStopping(const std::string &why)
{
    if (stopSignal->arrived())
        return 0;
    note(why);
    return 1;
}

// Waits until `fd` has input (never, when it is -1), `ms` have passed or a
// stop signal comes; false once the device is to stop.
bool waitForInputOrStop(int fd, int ms = -1)
{
    // A stop already read from the signal's descriptor won't wake the poll.
    if (stopSignal->arrived())
        return false;
    for (;;) {
        pollfd fds[2] = {{stopSignal->fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = poll(fds, fd >= 0 ? 2 : 1, ms);
        if (ready == 0)
            return true;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            note(std::string("poll: ") + std::strerror(errno));
            return false;
        }
        if (fds[0].revents) {
            stopSignal->arrived();
            return false;
        }
        if (fd >= 0 && fds[1].revents)
            return true;
    }
}

// Checks `ready` every 20 ms for up to `ms`; false on expiry or a stop signal.
bool waitFor(const std::function<bool()> &ready, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!ready())
        if (Clock::now() >= deadline || stopSignal->arrived(20))
            return false;
    return true;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The first entry of a sysfs class folder named prefix* whose device hangs
// off the host side of `controller`, i.e. of our gadget.
std::string onDummyHcd(const std::string &dir, const std::string &prefix, int controller = 0)
{
    const std::string host = "/dummy_hcd." + std::to_string(controller) + "/";
    for (const auto &name : listDir(dir)) {
        char real[PATH_MAX];
        if (name.rfind(prefix, 0) == 0 && realpath((dir + "/" + name).c_str(), real)
            && std::strstr(real, host.c_str()))
            return name;
    }
    return {};
}

std::string hex(const std::vector<std::uint8_t> &bytes)
{
    std::string out;
    char byte[4];
    for (const auto b : bytes) {
        std::snprintf(byte, sizeof byte, out.empty() ? "%02X" : " %02X", b);
        out += byte;
    }
    return out;
}

// Collects SysEx messages from a raw MIDI stream. Real-time bytes may sit
// inside one; any other status byte ends an unfinished one.
class SysexReader
{
public:
    template<class OnMessage>
    void feed(std::uint8_t byte, OnMessage &&onMessage)
    {
        if (byte >= 0xF8)
            return;
        if (byte == 0xF0) {
            m_message.assign(1, byte);
            m_inside = true;
        } else if (m_inside && byte == 0xF7) {
            m_message.push_back(byte);
            m_inside = false;
            onMessage(m_message);
        } else if (m_inside && (byte & 0x80)) {
            m_inside = false;
        } else if (m_inside) {
            m_message.push_back(byte);
        }
    }

private:
    std::vector<std::uint8_t> m_message;
    bool m_inside = false;
};

// fork+exec with our blocked signals unblocked; the child gets SIGTERM when
// we die, so no simulator outlives its device.
pid_t spawn(const std::vector<std::string> &args, int out)
{
    std::vector<char *> argv;
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        StopSignal::resetInChild();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (out >= 0)
            dup2(out, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "velta-gadgetdevice: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

// Waits up to `ms` for `pid`, then kills it; its wait status, or -1.
int reap(pid_t pid, int ms)
{
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return status;
}

struct User
{
    std::string name;
    uid_t uid;
    gid_t gid;
};

enum class Mount { self, desktop, none };
enum class Chip { rp2040, rp2350 };

struct DriveOptions
{
    User user;
    Mount how = Mount::self;
    Chip chip = Chip::rp2040;
};

// Which board's boot drive, on which controller.
struct Board
{
    std::string gadget;
    std::string product;
    unsigned productId;
    int controller;
};
const Board Velta{"velta-drive", "VELTA 2 Boot", 0x0002, 0};
const Board OtherBoard{"other-drive", "RP2 Boot", 0x0004, 1};

std::string labelOf(Chip chip)
{
    return chip == Chip::rp2040 ? "RPI-RP2" : "RP2350";
}

// The boot drive as a desktop shows it: mounted under /media/<user>.
struct Drive
{
    std::string image;
    std::string mountPath;

    ~Drive() { unmount(); }
    // `lazy`: as the desktop's disk service cleans up after a drive that went.
    void unmount(bool lazy = false)
    {
        if (mountPath.empty())
            return;
        // A reader may still hold a file open: retry for 2 s, then detach.
        for (int tries = 0; lazy || umount2(mountPath.c_str(), 0) != 0; ++tries) {
            if (lazy || errno != EBUSY || tries == 100) {
                umount2(mountPath.c_str(), MNT_DETACH);
                break;
            }
            usleep(20000);
        }
        rmdir(mountPath.c_str());
        mountPath.clear();
    }
};

// Where /dev/<disk> is mounted, from the mount table; empty if nowhere.
std::string mountPointOf(const std::string &disk)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point && std::getline(mounts, rest))
        if (device == "/dev/" + disk)
            return point;
    return {};
}

// What a desktop's automounter does when a drive appears: asks UDisks2, as
// the session's user, to mount it. UDisks2 knows the disk once udev has
// read its label; the request is repeated until the drive is mounted, which
// the updater may also have done in the meantime.
std::string mountThroughUDisks(const std::string &disk, const User &user)
{
    const std::string udevData = "/run/udev/data/b" + readFirstLine("/sys/block/" + disk + "/dev").value_or("");
    auto labelled = [&] {
        std::ifstream in(udevData);
        std::stringstream text;
        text << in.rdbuf();
        return text.str().find("E:ID_FS_LABEL=") != std::string::npos;
    };
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::string point;
    waitFor(labelled, AppearTimeoutMs);
    waitFor(
        [&] {
            const pid_t pid = spawn({"setpriv", "--reuid", std::to_string(user.uid), "--regid", std::to_string(user.gid),
                                     "--init-groups", "--", "udisksctl", "mount", "--no-user-interaction", "-b",
                                     "/dev/" + disk},
                                    devNull);
            if (pid > 0)
                reap(pid, 5000);
            point = mountPointOf(disk);
            return !point.empty();
        },
        AppearTimeoutMs);
    close(devNull);
    return point;
}

// Runs a short tool with its output discarded; true when it succeeded.
bool runTool(const std::vector<std::string> &args)
{
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = spawn(args, devNull);
    close(devNull);
    const int status = pid > 0 ? reap(pid, AppearTimeoutMs) : -1;
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    note(args.front() + " failed on " + args.back());
    return false;
}

// The drive's image as the boot loader's ROM presents it: an empty FAT
// volume with the file that names the chip.
bool makeImage(const std::string &image, Chip chip)
{
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool sized = fd >= 0 && ftruncate(fd, 8 << 20) == 0;
    if (fd >= 0)
        close(fd);
    if (!sized) {
        note("cannot create " + image + ": " + std::strerror(errno));
        return false;
    }
    const std::string info = image + ".info";
    std::ofstream(info, std::ios::binary) << "UF2 Bootloader v3.0\r\nModel: Raspberry Pi "
                                          << (chip == Chip::rp2040 ? "RP2" : "RP2350") << "\r\nBoard-ID: "
                                          << labelOf(chip) << "\r\n";
    const bool made = runTool({"mkfs.fat", "-n", labelOf(chip), image})
        && runTool({"mcopy", "-i", image, info, "::INFO_UF2.TXT"});
    unlink(info.c_str());
    return made;
}

// Where a desktop would mount a drive of this label: the label, or with a
// number after it when that folder is taken.
std::string freeMountFolder(const std::string &user, const std::string &label)
{
    mkdir(("/media/" + user).c_str(), 0755);
    for (int n = 0;; ++n) {
        const std::string target = "/media/" + user + "/" + label + (n ? std::to_string(n) : "");
        if (mkdir(target.c_str(), 0755) == 0)
            return target;
        if (errno != EEXIST)
            return {};
    }
}

bool becomeDrive(Gadget &gadget, Drive &drive, const DriveOptions &options, const Board &board = Velta)
{
    gadget.remove();
    drive.image = "/dev/shm/" + board.gadget + "-" + std::to_string(getpid()) + ".img";
    std::string error;
    if (!makeImage(drive.image, options.chip))
        return false;
    if (!gadget.create(board.gadget, board.product, board.productId, "mass_storage.velta",
                       {{"lun.0/removable", "1"}, {"lun.0/file", drive.image}}, error)
        || !gadget.bind(error)) {
        note(error);
        return false;
    }
    std::string disk;
    auto diskShown = [&] {
        disk = onDummyHcd("/sys/block", "sd", board.controller);
        // Size 0 until the medium has been read.
        return !disk.empty() && readFirstLine("/sys/block/" + disk + "/size").value_or("0") != "0"
            && exists("/dev/" + disk);
    };
    if (options.how != Mount::self) {
        if (!waitFor(diskShown, AppearTimeoutMs)) {
            if (!stopSignal->arrived())
                note("the boot drive did not appear on the host side (no /dev/sd* on dummy_hcd)");
            return false;
        }
        say("IMAGE " + drive.image);
        if (options.how == Mount::none)
            return true;
        const std::string point = mountThroughUDisks(disk, options.user);
        if (point.empty()) {
            if (!stopSignal->arrived())
                note("UDisks2 did not mount /dev/" + disk + " for " + options.user.name);
            return false;
        }
        say("DRIVE " + point);
        return true;
    }

    const std::string target = freeMountFolder(options.user.name, labelOf(options.chip));
    // What udisks passes for a FAT drive.
    const std::string mountOptions = "uid=" + std::to_string(options.user.uid) + ",gid="
        + std::to_string(options.user.gid) + ",fmask=0022,dmask=0022,shortname=mixed,utf8,flush";
    int mountError = 0;
    const bool mounted = !target.empty() && waitFor(
        [&] {
            // mount may still race the node's creation, so it is retried too.
            if (!diskShown())
                return false;
            if (mount(("/dev/" + disk).c_str(), target.c_str(), "vfat", MS_NOSUID | MS_NODEV, mountOptions.c_str()) == 0)
                return true;
            mountError = errno;
            return false;
        },
        AppearTimeoutMs);
    if (!mounted) {
        rmdir(target.c_str());
        if (!stopSignal->arrived())
            note(disk.empty() ? "the boot drive did not appear on the host side (no /dev/sd* on dummy_hcd)"
                              : "cannot mount /dev/" + disk + ": " + std::strerror(mountError));
        return false;
    }
    drive.mountPath = target;
    say("IMAGE " + drive.image);
    say("DRIVE " + target);
    return true;
}

bool hostPortShown()
{
    std::ifstream in("/proc/asound/seq/clients");
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find('"' + PortName + '"') != std::string::npos;
}

// The rawmidi device of the gadget's own card, where what the host sends
// comes out.
std::string gadgetRawmidi()
{
    for (const auto &name : listDir("/sys/class/sound"))
        if (name.rfind("card", 0) == 0 && readFirstLine("/sys/class/sound/" + name + "/id") == CardId)
            return "/dev/snd/midiC" + name.substr(4) + "D0";
    return {};
}

// The MIDI personality, bound, with its reader open before the host shows
// the port; the reader, or -1.
int becomeMidi(Gadget &gadget)
{
    // The port of a device that was just unplugged goes only once every
    // program has let go of its card (udev's rules may still hold it): were
    // it still listed, it would pass for ours.
    if (!waitFor([] { return !hostPortShown(); }, AppearTimeoutMs)) {
        failUnlessStopping("the host side still shows the port of an earlier device");
        return -1;
    }
    std::string error;
    if (!gadget.create("velta-midi", "VELTA 2", 0x0001, "midi.velta",
                       {{"in_ports", "1"}, {"out_ports", "1"}, {"id", CardId}}, error)
        || !gadget.bind(error)) {
        note(error);
        return -1;
    }
    std::string rawmidi;
    if (!waitFor([&] { return !(rawmidi = gadgetRawmidi()).empty() && exists(rawmidi); }, AppearTimeoutMs)) {
        failUnlessStopping("the gadget's MIDI card " + CardId + " did not appear");
        return -1;
    }
    int midi = open(rawmidi.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (midi < 0) {
        failUnlessStopping(rawmidi + ": " + std::strerror(errno));
        return -1;
    }
    if (!waitFor(hostPortShown, AppearTimeoutMs)) {
        close(midi);
        failUnlessStopping("the host side did not show the sequencer port \"" + PortName + '"');
        return -1;
    }
    return midi;
}

std::uint32_t littleEndian32(const unsigned char *bytes)
{
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16
        | std::uint32_t(bytes[3]) << 24;
}

// Whether the chip's boot loader takes the image: it sees the drive's
// sectors, not its files, and writes a UF2 block into flash only when its
// payload is one 256-byte page at a page address, it is meant for main flash
// and its family (when flagged) is the chip's; the RP2350-E10 workaround
// block is skipped. It restarts once it holds every block 0..numBlocks-1 of
// one family.
bool takenImage(const std::string &image, Chip chip)
{
    std::ifstream in(image, std::ios::binary);
    std::vector<unsigned char> sector(512);
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::set<std::uint32_t>> blocks; // by family, count
    while (in.read(reinterpret_cast<char *>(sector.data()), 512)) {
        auto word = [&](int i) { return littleEndian32(sector.data() + 4 * i); };
        if (word(0) != 0x0A324655 || word(1) != 0x9E5D5157 || word(127) != 0x0AB16F30)
            continue;
        const std::uint32_t flags = word(2), address = word(3), number = word(5), count = word(6);
        const std::uint32_t family = flags & 0x2000 ? word(7) : 0;
        const bool chipsFamily = chip == Chip::rp2040 ? family == 0xe48bff56 : family >= 0xe48bff57 && family <= 0xe48bff5b;
        const bool e10 = family == 0xe48bff57 && number == 0 && count == 2 && address == 0x10FFFF00;
        if ((flags & 1) || word(4) != 256 || address % 256 || number >= count || (family && !chipsFamily) || e10)
            continue;
        auto &seen = blocks[{family, count}];
        seen.insert(number);
        if (seen.size() == count)
            return true;
    }
    return false;
}

// Waits until the boot loader takes what the host writes to the image, then
// until the host's writes have settled (its directory entry comes last);
// false on a stop signal.
bool waitUntilTaken(const std::string &image, Chip chip)
{
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, image.c_str(), IN_MODIFY);
    auto written = [&] {
        char events[4096];
        bool any = false;
        while (read(watch, events, sizeof events) > 0)
            any = true;
        return any;
    };
    // The watch only wakes us up: the image is read once a second anyway.
    bool taken = false;
    while (!(taken = takenImage(image, chip)) && waitForInputOrStop(watch, 1000))
        written();
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (taken && Clock::now() < deadline && !stopSignal->arrived(300) && written()) {
    }
    close(watch);
    return taken && !stopSignal->arrived();
}

// The VELTA: MIDI until the update command (or its boot loader from the
// start), the boot drive until the image is taken, then MIDI again.
int runVelta(bool startAsDrive, bool neverDrive, bool stay, const DriveOptions &options)
{
    Gadget gadget;
    Drive drive;
    int midi = -1;
    if (startAsDrive ? !becomeDrive(gadget, drive, options) : (midi = becomeMidi(gadget)) < 0)
        return stopSignal->arrived() ? 0 : 1;
    say("READY");

    SysexReader reader;
    bool isDrive = startAsDrive;
    while (!stopSignal->arrived()) {
        if (isDrive && stay) {
            waitForInputOrStop(-1);
            break;
        }
        if (isDrive) {
            if (!waitUntilTaken(drive.image, options.chip))
                break;
            // Gone at once, mounted or not, as a restarting device.
            gadget.remove();
            drive.unmount(true);
            if ((midi = becomeMidi(gadget)) < 0)
                return stopSignal->arrived() ? 0 : 1;
            isDrive = false;
            say("RESTARTED");
        }
        // Idle until the host sends something or we are told to stop.
        if (!waitForInputOrStop(midi))
            break;
        std::uint8_t buffer[512];
        const ssize_t n = read(midi, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            note("the MIDI port is gone (unplugged)");
            close(midi);
            midi = -1;
            continue;
        }
        bool command = false;
        for (ssize_t i = 0; i < n; ++i)
            reader.feed(buffer[i], [&](const std::vector<std::uint8_t> &message) {
                say("RX " + hex(message));
                command = command || message == UpdateCommand;
            });
        if (command && !neverDrive) {
            close(midi);
            midi = -1;
            if (!becomeDrive(gadget, drive, options))
                return stopSignal->arrived() ? 0 : 1;
            isDrive = true;
        }
    }
    if (midi >= 0)
        close(midi);
    drive.unmount();
    gadget.remove();
    return 0;
}

// Another board in its boot loader, on the second controller, until stopped.
int runOtherDrive(const DriveOptions &options)
{
    Gadget gadget(OtherBoard.controller);
    Drive drive;
    if (!becomeDrive(gadget, drive, options, OtherBoard))
        return stopSignal->arrived() ? 0 : 1;
    say("READY");
    waitForInputOrStop(-1);
    drive.unmount();
    gadget.remove();
    return 0;
}

int runSerial(const std::string &product, std::optional<int> unplugAfterPages,
              const std::vector<std::string> &simulatorOptions)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe(self, std::size_t(std::max<ssize_t>(length, 0)));
    const std::string simulator = exe.substr(0, exe.rfind('/') + 1) + "stk500sim";

    Gadget gadget;
    std::string error;
    if (!gadget.create("velta-serial", product, 0x0003, "acm.velta", {}, error) || !gadget.bind(error)) {
        note(error);
        return 1;
    }
    const std::string gadgetTty = "/dev/ttyGS" + readFirstLine(gadget.functionPath() + "/port_num").value_or("0");
    std::string hostTty;
    if (!waitFor([&] { return !(hostTty = onDummyHcd("/sys/class/tty", "ttyACM")).empty()
                           && exists("/dev/" + hostTty) && exists(gadgetTty); },
                 AppearTimeoutMs))
        return failUnlessStopping("the host side did not show /dev/ttyACM* (or " + gadgetTty + " is missing)");

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return failUnlessStopping(std::string("pipe: ") + std::strerror(errno));
    std::vector<std::string> args{simulator, "--tty", gadgetTty};
    args.insert(args.end(), simulatorOptions.begin(), simulatorOptions.end());
    // The simulator leaves after N pages; its exit is the moment to unplug.
    if (unplugAfterPages)
        args.insert(args.end(), {"--close-after-pages", std::to_string(*unplugAfterPages)});
    pid_t child = spawn(args, out[1]);
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    auto stopChild = [&] {
        if (child > 0) {
            kill(child, SIGTERM);
            reap(child, 2000);
        }
        child = -1;
    };

    // It prints "TTY <path>" once it serves the line.
    std::string firstLine;
    bool ended = false;
    waitFor(
        [&] {
            char c;
            ssize_t n;
            while ((n = read(out[0], &c, 1)) == 1 && c != '\n')
                firstLine += c;
            ended = n == 0;
            return n == 1 || ended;
        },
        AppearTimeoutMs);
    if (firstLine.rfind("TTY ", 0) != 0) {
        stopChild();
        close(out[0]);
        return failUnlessStopping("stk500sim did not start serving " + gadgetTty);
    }
    say("TTY /dev/" + hostTty);
    say("READY");

    int simOut = out[0];
    // Idle until the simulator ends or we are told to stop.
    while (!stopSignal->arrived() && waitForInputOrStop(simOut)) {
        char buffer[256];
        if (read(simOut, buffer, sizeof buffer) > 0)
            continue;
        close(simOut);
        simOut = -1;
        const int status = reap(child, 2000);
        child = -1;
        if (!unplugAfterPages || status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            note("stk500sim ended (wait status " + std::to_string(status) + ")");
        gadget.unbind();
        say("UNPLUGGED");
    }
    stopChild();
    if (simOut >= 0)
        close(simOut);
    gadget.remove();
    return 0;
}

int usage()
{
    std::fputs("usage: velta-gadgetdevice midi [--never-drive | --stay] [DRIVE OPTIONS]\n"
               "       velta-gadgetdevice bootloader [--stay] [DRIVE OPTIONS]\n"
               "       velta-gadgetdevice other-drive [DRIVE OPTIONS]\n"
               "       velta-gadgetdevice serial [--product NAME] [--unplug-after-pages N] [stk500sim options...]\n"
               "       velta-gadgetdevice unplug\n"
               "DRIVE OPTIONS: [--chip rp2040|rp2350] [--user NAME] [--mount self|desktop|none]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "unplug") {
        if (Gadget::unbindAll(Velta.controller) > 0)
            return 0;
        note("no gadget was plugged in");
        return 1;
    }
    if (mode != "midi" && mode != "bootloader" && mode != "other-drive" && mode != "serial")
        return usage();

    StopSignal stop;
    stopSignal = &stop;

    if (mode != "serial") {
        bool neverDrive = false;
        bool stay = false;
        std::string userName;
        DriveOptions options;
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            const std::string value = i + 1 < argc ? argv[i + 1] : "";
            if (arg == "--never-drive" && mode == "midi")
                neverDrive = true;
            else if (arg == "--stay" && mode != "other-drive")
                stay = true;
            else if (arg == "--user" && i + 1 < argc)
                userName = argv[++i];
            else if (arg == "--mount" && (value == "self" || value == "desktop" || value == "none")) {
                options.how = value == "self" ? Mount::self : value == "desktop" ? Mount::desktop : Mount::none;
                ++i;
            } else if (arg == "--chip" && (value == "rp2040" || value == "rp2350")) {
                options.chip = value == "rp2040" ? Chip::rp2040 : Chip::rp2350;
                ++i;
            } else
                return usage();
        }
        const passwd *pw = userName.empty() ? getpwuid(geteuid()) : getpwnam(userName.c_str());
        if (!pw) {
            note("unknown user " + userName);
            return 2;
        }
        if (neverDrive && stay)
            return usage();
        options.user = User{pw->pw_name, pw->pw_uid, pw->pw_gid};
        return mode == "other-drive" ? runOtherDrive(options)
                                     : runVelta(mode == "bootloader", neverDrive, stay, options);
    }

    std::optional<int> unplugAfterPages;
    std::vector<std::string> simulatorOptions;
    // Another board's serial port: the same line under another USB product string.
    std::string product = "VELTA 2";
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--product" && i + 1 < argc) {
            product = argv[++i];
        } else if (arg == "--unplug-after-pages") {
            char *end = nullptr;
            const long pages = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
            if (pages < 0 || !end || *end)
                return usage();
            unplugAfterPages = int(pages);
            ++i;
        } else {
            simulatorOptions.push_back(arg);
        }
    }
    return runSerial(product, unplugAfterPages, simulatorOptions);
}
