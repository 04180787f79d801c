#include "stk500target.h"

#include <cstdio>

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
    GetSignOn = 0x31,
    SetParameter = 0x40,
    GetParameter = 0x41,
    SetDevice = 0x42,
    SetDeviceExt = 0x45,
    EnterProgmode = 0x50,
    LeaveProgmode = 0x51,
    ChipErase = 0x52,
    CheckAutoinc = 0x53,
    LoadAddress = 0x55,
    Universal = 0x56,
    ProgFlash = 0x60,
    ProgData = 0x61,
    ProgFuse = 0x62,
    ProgLock = 0x63,
    ProgPage = 0x64,
    ProgFuseExt = 0x65,
    ReadFlash = 0x70,
    ReadData = 0x71,
    ReadFuse = 0x72,
    ReadLock = 0x73,
    ReadPage = 0x74,
    ReadSign = 0x75,
    ReadOsccal = 0x76,
    ReadFuseExt = 0x77,
    ReadOsccalExt = 0x78,
};

// The STK500 buffer; avrdude never sends more per packet.
constexpr std::size_t MaxBlock = 256;
constexpr std::uint8_t Calibration = 0x9A;

// Argument bytes before the EOP; -1 for commands this device does not know.
int argumentCount(std::uint8_t command)
{
    switch (command) {
    case GetSync: case GetSignOn: case EnterProgmode: case LeaveProgmode:
    case ChipErase: case CheckAutoinc: case ReadFlash: case ReadData:
    case ReadFuse: case ReadLock: case ReadSign: case ReadOsccal: case ReadFuseExt:
        return 0;
    case GetParameter: case ProgData: case ProgLock: case ReadOsccalExt:
        return 1;
    case SetParameter: case LoadAddress: case ProgFlash: case ProgFuse:
        return 2;
    case ProgPage: case ReadPage: case ProgFuseExt:
        return 3; // PROG_PAGE's data follows these
    case Universal:
        return 4;
    case SetDevice:
        return 20;
    case SetDeviceExt:
        return 1; // a length byte counting itself, then the rest
    default:
        return -1;
    }
}

const char *commandName(std::uint8_t command)
{
    switch (command) {
    case GetSync: return "GET_SYNC";
    case GetSignOn: return "GET_SIGN_ON";
    case SetParameter: return "SET_PARAMETER";
    case GetParameter: return "GET_PARAMETER";
    case SetDevice: return "SET_DEVICE";
    case SetDeviceExt: return "SET_DEVICE_EXT";
    case EnterProgmode: return "ENTER_PROGMODE";
    case LeaveProgmode: return "LEAVE_PROGMODE";
    case ChipErase: return "CHIP_ERASE";
    case CheckAutoinc: return "CHECK_AUTOINC";
    case LoadAddress: return "LOAD_ADDRESS";
    case Universal: return "UNIVERSAL";
    case ProgFlash: return "PROG_FLASH";
    case ProgData: return "PROG_DATA";
    case ProgFuse: return "PROG_FUSE";
    case ProgLock: return "PROG_LOCK";
    case ProgPage: return "PROG_PAGE";
    case ProgFuseExt: return "PROG_FUSE_EXT";
    case ReadFlash: return "READ_FLASH";
    case ReadData: return "READ_DATA";
    case ReadFuse: return "READ_FUSE";
    case ReadLock: return "READ_LOCK";
    case ReadPage: return "READ_PAGE";
    case ReadSign: return "READ_SIGN";
    case ReadOsccal: return "READ_OSCCAL";
    case ReadFuseExt: return "READ_FUSE_EXT";
    case ReadOsccalExt: return "READ_OSCCAL_EXT";
    default: return "?";
    }
}

std::string hex(const std::uint8_t *data, std::size_t n)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", data[i]);
        s += buf;
    }
    return s;
}

} // namespace

Stk500Target::Stk500Target(std::array<std::uint8_t, 3> signature)
    : m_signature(signature)
{
    // Claim firmware 1.18 so avrdude sends the 4-parameter SET_DEVICE_EXT.
    m_parameters[0x80] = 2;  // hardware version
    m_parameters[0x81] = 1;  // software major
    m_parameters[0x82] = 18; // software minor
    m_parameters[0x84] = 50; // Vtarget 5.0 V
    m_parameters[0x85] = 50; // Varef 5.0 V
    m_parameters[0x86] = 1;  // oscillator prescaler
    m_parameters[0x87] = 1;  // oscillator compare match
    m_parameters[0x89] = 2;  // SCK duration
    m_parameters[0x98] = 0xFF; // no top card
    m_ispPageBuffer.fill(0xFF);
}

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
        if (byte == Eop) {
            execute(out);
        } else {
            // AVR061: a packet without its EOP is answered with NOSYNC.
            out.push_back(NoSync);
            log(std::string(commandName(m_command)) + " missing EOP (got " + hex(&byte, 1) + ")", {NoSync});
        }
        break;
    }
}

void Stk500Target::abandonPacket()
{
    if (m_state == ParseState::Command)
        return;
    char buf[96];
    std::snprintf(buf, sizeof buf, "abandoned %s after %zu argument bytes (line idle)",
                  commandName(m_command), m_args.size());
    m_state = ParseState::Command;
    m_args.clear();
    if (trace)
        trace(buf);
}

void Stk500Target::startPacket(std::uint8_t command)
{
    m_command = command;
    m_args.clear();
    const int n = argumentCount(command);
    m_need = n > 0 ? std::size_t(n) : 0;
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
        if (length > MaxBlock) {
            // Not a packet avrdude would send: take it as line noise so the
            // next bytes are parsed as commands again.
            m_state = ParseState::Command;
            log("PROG_PAGE with oversized length " + std::to_string(length) + " ignored", {});
            return;
        }
        m_need = length;
        if (m_need)
            m_state = ParseState::PageData;
    }
}

void Stk500Target::execute(std::vector<std::uint8_t> &out)
{
    const std::size_t start = out.size();
    std::string what = commandName(m_command);
    const std::vector<std::uint8_t> &a = m_args;
    auto ok = [&](std::initializer_list<std::uint8_t> values = {}) {
        out.push_back(InSync);
        out.insert(out.end(), values);
        out.push_back(Ok);
    };

    switch (m_command) {
    case GetSync:
        resetSession();
        ok();
        break;
    case GetSignOn:
        out.push_back(InSync);
        for (char c : std::string("AVR STK"))
            out.push_back(std::uint8_t(c));
        out.push_back(Ok);
        break;
    case SetParameter:
        m_parameters[a[0]] = a[1];
        what += " " + hex(a.data(), 2);
        ok();
        break;
    case GetParameter:
        what += " " + hex(a.data(), 1);
        ok({m_parameters[a[0]]});
        break;
    case SetDevice:
    case SetDeviceExt:
        what += " " + hex(a.data(), a.size());
        ok();
        break;
    case EnterProgmode:
    case LeaveProgmode:
        ok();
        break;
    case ChipErase:
        m_flash.erase();
        m_eeprom.erase();
        ++m_flashGeneration;
        ok();
        break;
    case CheckAutoinc:
        ok();
        break;
    case LoadAddress:
        m_address = std::uint16_t(a[1] << 8 | a[0]);
        what += " " + std::to_string(m_address);
        ok();
        break;
    case Universal: {
        const std::uint8_t r = universal(a[0], a[1], a[2], a[3]);
        what += " " + hex(a.data(), 4);
        ok({r});
        break;
    }
    case ProgFlash:
        m_flash.set(std::size_t(m_address) * 2, a[0]);
        m_flash.set(std::size_t(m_address) * 2 + 1, a[1]);
        ++m_address;
        ++m_flashGeneration;
        ok();
        break;
    case ProgData:
        m_eeprom.set(m_address++, a[0]);
        ok();
        break;
    case ProgFuse:
        m_lowFuse = a[0];
        m_highFuse = a[1];
        ok();
        break;
    case ProgLock:
        m_lockBits = a[0];
        ok();
        break;
    case ProgFuseExt:
        m_lowFuse = a[0];
        m_highFuse = a[1];
        m_extFuse = a[2];
        ok();
        break;
    case ProgPage: {
        const std::size_t length = a.size() - 3;
        const char memory = char(a[2]);
        what += std::string(" ") + memory + " " + std::to_string(length) + " @" + std::to_string(m_address);
        if (memory == 'F') {
            const std::size_t base = std::size_t(m_address) * 2;
            for (std::size_t i = 0; i < length; ++i)
                m_flash.set(base + i, a[3 + i]);
            m_address = std::uint16_t(m_address + length / 2);
            ++m_flashGeneration;
            ++m_pagesWritten;
            ok();
        } else if (memory == 'E') {
            for (std::size_t i = 0; i < length; ++i)
                m_eeprom.set(std::size_t(m_address) + i, a[3 + i]);
            m_address = std::uint16_t(m_address + length);
            ok();
        } else {
            out.push_back(InSync);
            out.push_back(Failed);
        }
        break;
    }
    case ReadFlash:
        ok({m_flash.at(std::size_t(m_address) * 2), m_flash.at(std::size_t(m_address) * 2 + 1)});
        ++m_address;
        break;
    case ReadData:
        ok({m_eeprom.at(m_address++)});
        break;
    case ReadFuse:
        ok({m_lowFuse, m_highFuse});
        break;
    case ReadLock:
        ok({m_lockBits});
        break;
    case ReadFuseExt:
        ok({m_lowFuse, m_highFuse, m_extFuse});
        break;
    case ReadOsccal:
    case ReadOsccalExt:
        ok({Calibration});
        break;
    case ReadPage: {
        const std::size_t length = std::size_t(a[0]) << 8 | a[1];
        const char memory = char(a[2]);
        what += std::string(" ") + memory + " " + std::to_string(length) + " @" + std::to_string(m_address);
        if (length > MaxBlock || (memory != 'F' && memory != 'E')) {
            out.push_back(InSync);
            out.push_back(Failed);
            break;
        }
        out.push_back(InSync);
        for (std::size_t i = 0; i < length; ++i) {
            out.push_back(memory == 'F' ? m_flash.at(std::size_t(m_address) * 2 + i)
                                        : m_eeprom.at(std::size_t(m_address) + i));
        }
        out.push_back(Ok);
        m_address = std::uint16_t(m_address + (memory == 'F' ? length / 2 : length));
        break;
    }
    case ReadSign:
        ok({m_signature[0], m_signature[1], m_signature[2]});
        break;
    default: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "unknown command %02x", m_command);
        what = buf;
        out.push_back(Unknown);
        break;
    }
    }

    // Long answers (page reads) are summarised, not dumped.
    const std::size_t n = out.size() - start;
    log(what, n > 8 ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>(out.begin() + long(start), out.end()));
}

// The SPI programming instructions of the ATmega328 datasheet, as far as
// avrdude might pass them through UNIVERSAL.
std::uint8_t Stk500Target::universal(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::size_t word = std::size_t(b & 0x3F) << 8 | c;
    switch (a) {
    case 0x30: return c < 3 ? m_signature[c & 3] : 0xFF;
    case 0x38: return Calibration;
    case 0x50: return b == 0x08 ? m_extFuse : m_lowFuse;
    case 0x58: return b == 0x08 ? m_highFuse : m_lockBits;
    case 0x20: return m_flash.at(word * 2);
    case 0x28: return m_flash.at(word * 2 + 1);
    case 0x40: m_ispPageBuffer[(c & 0x3F) * 2] = d; return 0;
    case 0x48: m_ispPageBuffer[(c & 0x3F) * 2 + 1] = d; return 0;
    case 0x4C: {
        const std::size_t base = (word & ~std::size_t(0x3F)) * 2;
        for (std::size_t i = 0; i < m_ispPageBuffer.size(); ++i)
            m_flash.set(base + i, m_ispPageBuffer[i]);
        m_ispPageBuffer.fill(0xFF);
        ++m_flashGeneration;
        ++m_pagesWritten;
        return 0;
    }
    case 0xA0: return m_eeprom.at(std::size_t(b & 0x03) << 8 | c);
    case 0xC0: m_eeprom.set(std::size_t(b & 0x03) << 8 | c, d); return 0;
    case 0xAC:
        switch (b & 0xFC) {
        case 0x80: m_flash.erase(); m_eeprom.erase(); ++m_flashGeneration; return 0;
        case 0xA0: m_lowFuse = d; return 0;
        case 0xA8: m_highFuse = d; return 0;
        case 0xA4: m_extFuse = d | 0xF8; return 0;
        case 0xE0: m_lockBits = d | 0xC0; return 0;
        default: return 0; // programming enable and the like
        }
    default:
        return 0;
    }
}

void Stk500Target::resetSession()
{
    // Each avrdude run starts with GET_SYNC; nothing of the last run's
    // addressing may leak into it. Memories and fuses persist.
    m_address = 0;
    m_ispPageBuffer.fill(0xFF);
}

void Stk500Target::log(const std::string &what, const std::vector<std::uint8_t> &answer)
{
    if (!trace)
        return;
    trace(answer.empty() ? what : what + " -> " + hex(answer.data(), answer.size()));
}
