#pragma once

#include "memoryimage.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The device end of STK500v1 as avrdude's "arduino" programmer speaks it,
// for an ATmega328. Byte in, answer bytes out; knows nothing of the pty, so
// the protocol can be exercised without one.
class Stk500Target
{
public:
    static constexpr std::size_t FlashSize = 32 * 1024;
    static constexpr std::size_t FlashPageSize = 128;
    static constexpr std::size_t EepromSize = 1024;

    explicit Stk500Target(std::array<std::uint8_t, 3> signature);

    // Feeds one byte from the host; appends whatever the device answers.
    void receive(std::uint8_t byte, std::vector<std::uint8_t> &out);

    // True while a packet has started but not ended.
    bool midPacket() const { return m_state != ParseState::Command; }
    // The host went away mid-packet: forget the fragment so that the next
    // client's first GET_SYNC is not swallowed as page data.
    void abandonPacket();

    // Once `pages` flash pages have been written the device stops answering
    // for good, like firmware that hung; 0 means it never answers.
    void goQuietAfterPages(int pages) { m_quietAfterPages = pages; }
    bool quiet() const { return m_quietAfterPages >= 0 && m_pagesWritten >= m_quietAfterPages; }

    int pagesWritten() const { return m_pagesWritten; }
    // Bumped on every change to flash, so callers know when to save it.
    std::uint64_t flashGeneration() const { return m_flashGeneration; }
    const MemoryImage &flash() const { return m_flash; }
    const MemoryImage &eeprom() const { return m_eeprom; }

    // One line per packet, for --log.
    std::function<void(const std::string &)> trace;

private:
    enum class ParseState { Command, Arguments, PageData, EndOfPacket };

    void startPacket(std::uint8_t command);
    void argumentsComplete();
    void execute(std::vector<std::uint8_t> &out);
    std::uint8_t universal(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    void resetSession();
    void log(const std::string &what, const std::vector<std::uint8_t> &answer);

    std::array<std::uint8_t, 3> m_signature;
    MemoryImage m_flash{FlashSize};
    MemoryImage m_eeprom{EepromSize};
    std::array<std::uint8_t, 256> m_parameters{};
    std::array<std::uint8_t, FlashPageSize> m_ispPageBuffer{};
    std::uint8_t m_lowFuse = 0xFF;
    std::uint8_t m_highFuse = 0xDE;
    std::uint8_t m_extFuse = 0xFD;
    std::uint8_t m_lockBits = 0xCF;

    ParseState m_state = ParseState::Command;
    std::uint8_t m_command = 0;
    std::vector<std::uint8_t> m_args;
    std::size_t m_need = 0;

    std::uint16_t m_address = 0; // words for flash, bytes for EEPROM
    int m_pagesWritten = 0;
    int m_quietAfterPages = -1;
    std::uint64_t m_flashGeneration = 0;
};
