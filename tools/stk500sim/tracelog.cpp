#include "tracelog.h"

#include <cerrno>
#include <cstring>

TraceLog::~TraceLog()
{
    if (m_file)
        std::fclose(m_file);
}

bool TraceLog::open(const std::string &path, std::string &error)
{
    m_file = std::fopen(path.c_str(), "ae");
    if (!m_file) {
        error = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::setvbuf(m_file, nullptr, _IOLBF, 0);
    return true;
}

void TraceLog::line(const std::string &text)
{
    if (!m_file)
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_start).count();
    std::fprintf(m_file, "%lld.%03lld %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), text.c_str());
}
