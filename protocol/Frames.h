// Link frames between the panel and the amplifier: framing, checksum, command set and the
// conversions of the operator's typed entries. Pure data and arithmetic; nothing here sends or
// receives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace proto {

// Command codes, panel to amplifier.
enum : std::uint8_t {
    CMD_QUERY_STATUS = 0x00,
    CMD_QUERY_SETTINGS = 0x02,
    CMD_SET_POWER = 0x04,
    CMD_SET_MODE = 0x06,
    CMD_SET_CURRENT_ALT = 0x0C,
    CMD_SET_CURRENT = 0x0D,
    CMD_QUERY_OUTPUT = 0x25,
    CMD_SET_OUTPUT = 0x26,
};

// Wire values of the working mode and the output state, in commands and replies alike.
constexpr std::uint8_t kModeApc = 0;
constexpr std::uint8_t kModeAcc = 1;
constexpr std::uint8_t kOutputOff = 0;
constexpr std::uint8_t kOutputOn = 1;

// Reply types, amplifier to panel.
enum : std::uint8_t {
    REPLY_STATUS = 0x00,
    REPLY_SETTINGS = 0x02,
    REPLY_TARGET_POWER = 0x03,
    REPLY_MODE = 0x05,
    REPLY_TARGET_CURRENT = 0x07,
    REPLY_OUTPUT = 0x25,
};

constexpr std::uint8_t kCommandHeader = 0xEF;  // both header bytes of a command
constexpr std::uint8_t kReplyHeader1 = 0xED;
constexpr std::uint8_t kReplyHeader2 = 0xFA;

// Time the amplifier is given to answer a frame before the next one: every write first discards
// unread input, so frames of one action, and frames queued behind one another, go this far apart.
constexpr int kFrameSpacingMs = 100;

// Longest frame the panel sends: header, LEN, code, 16-bit value, checksum.
constexpr std::size_t kMaxCommandFrame = 7;

// The line: 9600 baud, 8N1, so a byte is ten bits on the wire.
constexpr int kLineBaud = 9600;
// Milliseconds n bytes take on the wire, rounded up: 7 bytes take 8 ms.
constexpr int WireTimeMs(std::size_t n)
{
    return static_cast<int>((n * 10 * 1000 + kLineBaud - 1) / kLineBaud);
}

// Whether a command code is a setting (it changes the amplifier), not a query.
bool IsSettingCommand(std::uint8_t code);

// One complete command frame. Fixed storage: the panel rewrites prepared frames in place.
struct Frame {
    std::uint8_t bytes[kMaxCommandFrame] = {};
    std::uint8_t size = 0;

    const std::uint8_t* data() const { return bytes; }
    bool operator==(const Frame& other) const;
    bool operator!=(const Frame& other) const { return !(*this == other); }
};

// The 8-bit sum of the first n bytes.
std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t n);

Frame MakeQueryFrame(std::uint8_t code);
Frame MakeByteFrame(std::uint8_t code, std::uint8_t value);
// Only the low 16 bits of the value travel, high byte first.
Frame MakeWordFrame(std::uint8_t code, std::int32_t value);

// Rewrites the 16-bit value and checksum of a prepared word frame.
void SetWordValue(Frame& frame, std::int32_t value);
// Rewrites the data byte and checksum of a prepared byte frame.
void SetByteValue(Frame& frame, std::uint8_t value);

// The set-current command the slider check and the step buttons use for a given selector.
std::uint8_t CurrentCommandFor(std::uint8_t currentCmdSelect);

// Raw power units: dBm x 100 + 7000.
constexpr std::int32_t kPowerRawOffset = 7000;
double PowerRawToDbm(std::int32_t raw);
double TempRawToCelsius(std::int32_t raw);

// The leading decimal number of an operator's entry, as the C library's atof reads one
// (leading blanks, sign, digits, point, exponent), but independent of the process locale
// and without atof's hexadecimal, infinity and NaN forms. No number gives 0.0.
double ParseLeadingNumber(const char* text);

// Truncation toward zero through a 64-bit integer, keeping the low 32 bits. A value outside the
// 64-bit range, an infinity or NaN gives 0.
std::int32_t TruncateToInt32(double value);

// Operator's power entry to raw units; negative results become 0, no upper bound.
std::int32_t PowerEntryToRaw(const char* text);

// Operator's current entry in mA, clamped to 0 ... maxCurrent.
std::int32_t CurrentEntryToMilliamps(const char* text, std::int32_t maxCurrent);

}  // namespace proto
