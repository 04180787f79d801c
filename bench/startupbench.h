#pragma once

class BenchTable;

// Runs velta-startprobe on the offscreen platform: time from process start
// to the window's first frame, and resident memory at that point.
class StartupBench {
public:
    explicit StartupBench(int runs) : runs_(runs) {}
    void run(BenchTable &table) const;

private:
    int runs_;
};
