// Link frames between the panel and the amplifier: framing, checksum, command set and the
// conversions of the operator's typed entries. Pure data and arithmetic; nothing here sends or
// receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// What to send, before any further frame, after the write of these n bytes was given up part
// way: some of them (how many is not known) may be on the line, and the amplifier's command framer
// would join the next frame's bytes to them. That framer hunts EF EF, takes LEN (2 to 4), then LEN
// bytes, the last the 8-bit sum of all before it; after a failure it looks again from the byte
// after the one it gave up. The filler holds no header byte, its first byte is no LEN, and each
// byte of it that lands on the checksum of a header the part may hold differs from that header's
// sum so far: whatever part went, the amplifier gives the part and the filler up and is hunting
// again when the next frame starts. It is as long as the furthest such checksum needs (n - 3 for
// a frame of the command set); empty when no part can hold a header waiting for its checksum.
// Sent whole only: a filler cut short and sent again can complete the frame itself.
std::vector<std::uint8_t> AbandonedFrameFiller(const std::uint8_t* frame, std::size_t n);

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
