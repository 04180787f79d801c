#pragma once

class BenchTable;

// The updater's copy (readFirmwareSource, writeFirmware) of a 2 MiB UF2
// image against `cp` then `sync`, both onto the same disk-backed file system.
class Uf2CopyBench {
public:
    explicit Uf2CopyBench(int runs) : runs_(runs) {}
    void run(BenchTable &table) const;

private:
    int runs_;
};
