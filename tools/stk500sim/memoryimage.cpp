#include "memoryimage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

MemoryImage::MemoryImage(std::size_t size)
    : m_bytes(size, 0xFF)
{
}

void MemoryImage::erase()
{
    std::fill(m_bytes.begin(), m_bytes.end(), std::uint8_t(0xFF));
}

bool MemoryImage::saveAtomically(const std::string &path, std::string &error) const
{
    // Same directory as the target, or rename() would not be atomic.
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "open " + temp + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < m_bytes.size()) {
        const ssize_t n = ::write(fd, m_bytes.data() + done, m_bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "write " + temp + ": " + std::strerror(errno);
            ::close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += std::size_t(n);
    }
    if (::close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        error = "save " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}
