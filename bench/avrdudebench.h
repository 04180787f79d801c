#pragma once

class BenchTable;

// AvrdudeRunner::run against the same avrdude command line spawned
// directly, both writing one 32 KiB image to one simulated bootloader.
class AvrdudeBench {
public:
    explicit AvrdudeBench(int runs) : runs_(runs) {}
    void run(BenchTable &table) const;

private:
    int runs_;
};
