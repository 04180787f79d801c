#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// Optional protocol trace: one timestamped line per event, flushed per line
// so a test can read it while the simulator runs.
class TraceLog
{
public:
    TraceLog() = default;
    ~TraceLog();
    TraceLog(const TraceLog &) = delete;
    TraceLog &operator=(const TraceLog &) = delete;

    bool open(const std::string &path, std::string &error);
    void line(const std::string &text);

private:
    std::FILE *m_file = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};
