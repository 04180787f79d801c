#pragma once

class BenchTable;

// A 1 MiB UF2 image onto a drive that takes 64 KiB/s, as a boot loader
// does: the whole USB update's copy, timed from its progress, against `dd`
// onto the same kind of drive, and the longest the main thread stood still
// during the copy.
class SlowCopyBench {
public:
    explicit SlowCopyBench(int runs) : runs_(runs) {}
    void run(BenchTable &table) const;

private:
    int runs_;
};
