#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One non-volatile memory of the simulated chip; erased cells read 0xFF.
// Addresses wrap at the size, as the chip ignores address bits it lacks.
class MemoryImage
{
public:
    explicit MemoryImage(std::size_t size);

    std::size_t size() const { return m_bytes.size(); }
    std::uint8_t at(std::size_t address) const { return m_bytes[address % m_bytes.size()]; }
    void set(std::size_t address, std::uint8_t value) { m_bytes[address % m_bytes.size()] = value; }
    void erase();

    // Temp file + rename, so a concurrent reader sees the old or the new
    // image, never a torn one.
    bool saveAtomically(const std::string &path, std::string &error) const;

private:
    std::vector<std::uint8_t> m_bytes;
};
