#pragma once

class BenchTable;

// Runs inside the test VM (tests/vm/vmrun.sh), on Debian's own drivers with
// the device played by USB gadgets, under emulation: the update command to
// the real USB MIDI port, and the whole USB update less the device's own
// time and the workflow's fixed pauses.
class RealKernelBench {
public:
    RealKernelBench(int sends, int updates) : sends_(sends), updates_(updates) {}
    void run(BenchTable &table) const;

private:
    void sends(BenchTable &table) const;
    void updates(BenchTable &table) const;

    int sends_;
    int updates_;
};
