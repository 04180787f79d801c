#pragma once

#include <QString>

class BenchTable;

// The update command to the simulated device on a JACK server: as the
// updater sends it (what the user waits for) and as the bare service does.
class SysexBench {
public:
    SysexBench(QString jackServer, int sends) : jackServer_(std::move(jackServer)), sends_(sends) {}
    void run(BenchTable &table) const;

private:
    QString jackServer_;
    int sends_;
};
