#pragma once

class BenchTable;

// Runs inside the test VM (tests/vm/vmrun.sh), on Debian's own drivers with
// the device played by USB gadgets, under emulation, in the desktop session
// of tests/vm/desktop.sh: the update command to the real USB MIDI port, the
// whole USB update less the device's own time and the workflow's fixed
// pauses, and, as the desktop user, the command to a usable boot drive.
class RealKernelBench {
public:
    RealKernelBench(int sends, int updates, int drives) : sends_(sends), updates_(updates), drives_(drives) {}
    void run(BenchTable &table) const;

    // As the desktop user, against a device started for it: the update
    // command sent, then the updater's wait until it has a drive. The time
    // from the command gone out to the drive, in ms; negative on failure.
    static double commandToDrive();

private:
    void sends(BenchTable &table) const;
    void updates(BenchTable &table) const;
    void drives(BenchTable &table) const;

    int sends_;
    int updates_;
    int drives_;
};
