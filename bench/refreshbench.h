#pragma once

#include <QString>

class BenchTable;

// FirmwareUpdater::refreshDevices with 50 MIDI destinations that are real
// JACK ports and 50 serial ports.
class RefreshBench {
public:
    RefreshBench(QString jackServer, int calls) : jackServer_(std::move(jackServer)), calls_(calls) {}
    void run(BenchTable &table) const;

private:
    QString jackServer_;
    int calls_;
};
