#pragma once

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// One program run with posix_spawn, its output drained through pipes and
// its end awaited through a pidfd: the leanest way to run a tool to
// completion, used as the baseline the benchmarks compare against.
class ChildProcess {
public:
    struct Result {
        bool started = false;
        bool timedOut = false;
        int exitCode = -1; // -1 unless it exited normally
        QByteArray standardOutput;
        QByteArray standardError;
        // CLOCK_MONOTONIC just before the spawn, for children that report
        // their own clock readings.
        std::int64_t spawnedAtNs = 0;
    };

    // `program` is looked up in PATH when it has no slash. `extraEnvironment`
    // entries ("NAME=value") replace inherited ones of the same name.
    ChildProcess(std::string program, std::vector<std::string> arguments,
                 std::vector<std::string> extraEnvironment = {});

    // Runs it to the end; past `limit` the child is killed and reaped.
    Result run(std::chrono::milliseconds limit) const;

    static std::int64_t monotonicNs();

private:
    std::string program_;
    std::vector<std::string> arguments_;
    std::vector<std::string> extraEnvironment_;
};
