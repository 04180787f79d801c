#pragma once

class BenchTable;

// FirmwareUpdater::refreshDevices with 50 MIDI destinations and 50 serial
// ports: the updater's own share of a refresh (sorting, preferring).
class RefreshBench {
public:
    explicit RefreshBench(int calls) : calls_(calls) {}
    void run(BenchTable &table) const;

private:
    int calls_;
};
