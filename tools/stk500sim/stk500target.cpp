#include "stk500target.h"

namespace {

// STK500v1 (AVR061) bytes.
constexpr std::uint8_t Ok = 0x10;
constexpr std::uint8_t Failed = 0x11;
constexpr std::uint8_t Unknown = 0x12;
constexpr std::uint8_t InSync = 0x14;
constexpr std::uint8_t NoSync = 0x15;
constexpr std::uint8_t Eop = 0x20;

enum Command : std::uint8_t {
    GetSync = 0x30,
    GetParameter = 0x41,
    SetDevice = 0x42,
    SetDeviceExt = 0x45,
    EnterProgmode = 0x50,
    LeaveProgmode = 0x51,
    LoadAddress = 0x55,
    ProgPage = 0x64,
    ReadPage = 0x74,
    ReadSign = 0x75,
};

// The STK500 buffer; avrdude never sends more per packet.
constexpr std::size_t MaxBlock = 256;

// Argument bytes before the EOP (PROG_PAGE's data follows its three).
std::size_t argumentCount(std::uint8_t command)
{
    switch (command) {
    case GetParameter: case SetDeviceExt: return 1; // SET_DEVICE_EXT: a length counting itself, then the rest
    case LoadAddress: return 2;
    case ProgPage: case ReadPage: return 3;
    case SetDevice: return 20;
    default: return 0;
    }
}

std::uint8_t parameter(std::uint8_t id)
{
    // Firmware 1.18, so avrdude sends the 4-parameter SET_DEVICE_EXT; no top card.
    switch (id) {
    case 0x80: return 2;  // hardware version
    case 0x81: return 1;  // software major
    case 0x82: return 18; // software minor
    case 0x98: return 0xFF;
    default: return 0;
    }
}

} // namespace

void Stk500Target::receive(std::uint8_t byte, std::vector<std::uint8_t> &out)
{
    if (quiet())
        return;
    switch (m_state) {
    case ParseState::Command:
        startPacket(byte);
        break;
    case ParseState::Arguments:
        m_args.push_back(byte);
        if (--m_need == 0)
            argumentsComplete();
        break;
    case ParseState::PageData:
        m_args.push_back(byte);
        if (--m_need == 0)
            m_state = ParseState::EndOfPacket;
        break;
    case ParseState::EndOfPacket:
        m_state = ParseState::Command;
        if (byte == Eop)
            execute(out);
        else
            out.push_back(NoSync); // AVR061: a packet without its EOP
        break;
    }
}

void Stk500Target::startPacket(std::uint8_t command)
{
    m_command = command;
    m_args.clear();
    m_need = argumentCount(command);
    m_state = m_need ? ParseState::Arguments : ParseState::EndOfPacket;
}

void Stk500Target::argumentsComplete()
{
    m_state = ParseState::EndOfPacket;
    if (m_command == SetDeviceExt && m_args.size() == 1 && m_args[0] > 1) {
        m_need = m_args[0] - 1;
        m_state = ParseState::Arguments;
    } else if (m_command == ProgPage) {
        const std::size_t length = std::size_t(m_args[0]) << 8 | m_args[1];
        // Longer is no packet avrdude sends: line noise, so the next bytes
        // are parsed as commands again.
        m_need = length;
        m_state = length > MaxBlock ? ParseState::Command : length ? ParseState::PageData : ParseState::EndOfPacket;
    }
}

void Stk500Target::execute(std::vector<std::uint8_t> &out)
{
    const std::vector<std::uint8_t> &a = m_args;
    auto answer = [&](std::initializer_list<std::uint8_t> values, std::uint8_t status = Ok) {
        out.push_back(InSync);
        out.insert(out.end(), values);
        out.push_back(status);
    };
    // Only flash ('F') is written and read; a page is at most MaxBlock bytes.
    const bool flashPage = (m_command == ProgPage || m_command == ReadPage) && a[2] == 'F'
        && (std::size_t(a[0]) << 8 | a[1]) <= MaxBlock;
    const std::size_t base = std::size_t(m_address) * 2;

    switch (m_command) {
    case GetSync:
        // Each avrdude run starts with it: nothing of the last run's
        // addressing leaks into the next. The flash persists.
        m_address = 0;
        answer({});
        break;
    case GetParameter:
        answer({parameter(a[0])});
        break;
    case SetDevice:
    case SetDeviceExt:
    case EnterProgmode:
    case LeaveProgmode:
        answer({});
        break;
    case LoadAddress:
        m_address = std::uint16_t(a[1] << 8 | a[0]);
        answer({});
        break;
    case ProgPage:
        if (!flashPage) {
            answer({}, Failed);
            break;
        }
        for (std::size_t i = 3; i < a.size(); ++i)
            m_flash[(base + i - 3) % FlashSize] = a[i];
        m_address = std::uint16_t(m_address + (a.size() - 3) / 2);
        ++m_pagesWritten;
        answer({});
        break;
    case ReadPage: {
        if (!flashPage) {
            answer({}, Failed);
            break;
        }
        const std::size_t length = std::size_t(a[0]) << 8 | a[1];
        out.push_back(InSync);
        for (std::size_t i = 0; i < length; ++i)
            out.push_back(m_flash[(base + i) % FlashSize]);
        out.push_back(Ok);
        m_address = std::uint16_t(m_address + length / 2);
        break;
    }
    case ReadSign:
        answer({m_signature[0], m_signature[1], m_signature[2]});
        break;
    default:
        out.push_back(Unknown);
        break;
    }
}
