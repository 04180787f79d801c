#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The device end of STK500v1 for what avrdude 7.1 sends as the "arduino"
// programmer when it writes and verifies an ATmega328's flash without an
// erase (-D): GET_SYNC, GET_PARAMETER, SET_DEVICE, SET_DEVICE_EXT,
// ENTER_PROGMODE, READ_SIGN, LOAD_ADDRESS, PROG_PAGE, READ_PAGE,
// LEAVE_PROGMODE. Byte in, answer bytes out; knows nothing of the line.
class Stk500Target
{
public:
    static constexpr std::size_t FlashSize = 32 * 1024;

    explicit Stk500Target(std::array<std::uint8_t, 3> signature) : m_signature(signature) {}

    // Feeds one byte from the host; appends whatever the device answers.
    void receive(std::uint8_t byte, std::vector<std::uint8_t> &out);

    // True while a packet has started but not ended.
    bool midPacket() const { return m_state != ParseState::Command; }
    // The host went away mid-packet: forget the fragment so that the next
    // client's first GET_SYNC is not swallowed as page data.
    void abandonPacket() { m_state = ParseState::Command; }

    // Once `pages` flash pages have been written the device stops answering
    // for good, like firmware that hung.
    void goQuietAfterPages(int pages) { m_quietAfterPages = pages; }
    bool quiet() const { return m_quietAfterPages >= 0 && m_pagesWritten >= m_quietAfterPages; }

    int pagesWritten() const { return m_pagesWritten; }
    // Erased cells read 0xFF; addresses wrap at the size, as the chip
    // ignores address bits it lacks.
    const std::vector<std::uint8_t> &flash() const { return m_flash; }

private:
    enum class ParseState { Command, Arguments, PageData, EndOfPacket };

    void startPacket(std::uint8_t command);
    void argumentsComplete();
    void execute(std::vector<std::uint8_t> &out);

    std::array<std::uint8_t, 3> m_signature;
    std::vector<std::uint8_t> m_flash = std::vector<std::uint8_t>(FlashSize, 0xFF);

    ParseState m_state = ParseState::Command;
    std::uint8_t m_command = 0;
    std::vector<std::uint8_t> m_args;
    std::size_t m_need = 0;

    std::uint16_t m_address = 0; // in words
    int m_pagesWritten = 0;
    int m_quietAfterPages = -1;
};
