#include "protocol/Frames.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

namespace proto {

bool Frame::operator==(const Frame& other) const
{
    return size == other.size && std::memcmp(bytes, other.bytes, size) == 0;
}

std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>(sum);
}

bool IsSettingCommand(std::uint8_t code)
{
    switch (code) {
    case CMD_SET_POWER:
    case CMD_SET_MODE:
    case CMD_SET_CURRENT_ALT:
    case CMD_SET_CURRENT:
    case CMD_SET_OUTPUT:
        return true;
    default:
        return false;
    }
}

namespace {

// LEN counts the bytes after itself: code, data and checksum.
Frame StartFrame(std::uint8_t code, std::uint8_t dataBytes)
{
    Frame f;
    f.bytes[0] = kCommandHeader;
    f.bytes[1] = kCommandHeader;
    f.bytes[2] = static_cast<std::uint8_t>(dataBytes + 2);
    f.bytes[3] = code;
    f.size = static_cast<std::uint8_t>(dataBytes + 5);
    return f;
}

void Seal(Frame& f)
{
    f.bytes[f.size - 1] = FrameChecksum(f.bytes, f.size - 1u);
}

}  // namespace

Frame MakeQueryFrame(std::uint8_t code)
{
    Frame f = StartFrame(code, 0);
    Seal(f);
    return f;
}

Frame MakeByteFrame(std::uint8_t code, std::uint8_t value)
{
    Frame f = StartFrame(code, 1);
    SetByteValue(f, value);
    return f;
}

Frame MakeWordFrame(std::uint8_t code, std::int32_t value)
{
    Frame f = StartFrame(code, 2);
    SetWordValue(f, value);
    return f;
}

void SetByteValue(Frame& frame, std::uint8_t value)
{
    frame.bytes[4] = value;
    Seal(frame);
}

void SetWordValue(Frame& frame, std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    frame.bytes[4] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    frame.bytes[5] = static_cast<std::uint8_t>(v & 0xFF);
    Seal(frame);
}

namespace {

// The LEN values the amplifier's framer takes: a query, one data byte, one word.
bool IsCommandLen(unsigned b)
{
    return b >= 2 && b <= 4;
}

}  // namespace

std::vector<std::uint8_t> AbandonedFrameFiller(const std::uint8_t* frame, std::size_t n)
{
    // A header the framer may hold once the first k bytes went: its checksum falls on byte `at` of
    // what follows, and is compared with the sum of the header's bytes before it.
    struct Waiting {
        std::size_t at;
        std::uint8_t sum;
    };
    std::vector<Waiting> waiting;
    std::size_t length = 0;
    for (std::size_t k = 1; k < n; ++k) {
        // A header whose LEN did not go waits for the filler's first byte as its LEN; one whose
        // second byte did not go is given up on it: neither needs more than that first byte.
        for (std::size_t p = 0; p + 2 < k; ++p) {
            if (frame[p] != kCommandHeader || frame[p + 1] != kCommandHeader || !IsCommandLen(frame[p + 2]))
                continue;
            const std::size_t checksumAt = p + frame[p + 2] + 2;
            if (checksumAt < k)
                continue;  // settled within the part, whatever follows
            waiting.push_back(Waiting{checksumAt - k, FrameChecksum(frame + p, k - p)});
            length = std::max(length, checksumAt - k + 1);
        }
    }

    std::vector<std::uint8_t> filler;
    while (filler.size() < length) {
        const std::size_t at = filler.size();
        const std::uint8_t sumSoFar = FrameChecksum(filler.data(), at);
        const auto fits = [&](unsigned b) {
            if (b == kCommandHeader || (at == 0 && IsCommandLen(b)))
                return false;
            for (const Waiting& header : waiting) {
                if (header.at == at && static_cast<std::uint8_t>(header.sum + sumSoFar) == b)
                    return false;
            }
            return true;
        };
        // The lowest that fits; a frame of the command set has one header waiting on a byte at most.
        unsigned b = 0;
        while (b < 0xFF && !fits(b))
            ++b;
        filler.push_back(static_cast<std::uint8_t>(b));
    }
    return filler;
}

std::uint8_t CurrentCommandFor(std::uint8_t currentCmdSelect)
{
    return currentCmdSelect <= 1 ? CMD_SET_CURRENT_ALT : CMD_SET_CURRENT;
}

double PowerRawToDbm(std::int32_t raw)
{
    return raw * 0.01 - 70.0;
}

double TempRawToCelsius(std::int32_t raw)
{
    return raw * 0.01;
}

double ParseLeadingNumber(const char* text)
{
    if (text == nullptr)
        return 0.0;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    const bool negative = (*p == '-');
    if (*p == '+' || *p == '-')
        ++p;

    // Collect the longest prefix of the form digits [. digits] [e [sign] digits].
    const char* start = p;
    const char* q = p;
    std::size_t mantissaDigits = 0;
    while (std::isdigit(static_cast<unsigned char>(*q))) {
        ++q;
        ++mantissaDigits;
    }
    if (*q == '.') {
        ++q;
        while (std::isdigit(static_cast<unsigned char>(*q))) {
            ++q;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return 0.0;
    const char* end = q;
    if (*q == 'e' || *q == 'E') {
        const char* e = q + 1;
        if (*e == '+' || *e == '-')
            ++e;
        if (std::isdigit(static_cast<unsigned char>(*e))) {
            while (std::isdigit(static_cast<unsigned char>(*e)))
                ++e;
            end = e;
        }
    }

    double value = 0.0;
    const auto result = std::from_chars(start, end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // As strtod: too large gives infinity, too small gives zero.
        const bool negativeExponent = std::memchr(start, '-', static_cast<std::size_t>(end - start)) != nullptr;
        value = negativeExponent ? 0.0 : HUGE_VAL;
    } else if (result.ec != std::errc()) {
        return 0.0;
    }
    return negative ? -value : value;
}

std::int32_t TruncateToInt32(double value)
{
    // -2^63 and 2^63 are exact doubles; NaN fails both comparisons.
    constexpr double limit = 9223372036854775808.0;
    if (!(value >= -limit && value < limit))
        return 0;
    const auto wide = static_cast<std::int64_t>(value);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

std::int32_t PowerEntryToRaw(const char* text)
{
    const std::int32_t raw = TruncateToInt32(ParseLeadingNumber(text) * 100.0 + 7000.0);
    return raw < 0 ? 0 : raw;
}

std::int32_t CurrentEntryToMilliamps(const char* text, std::int32_t maxCurrent)
{
    std::int32_t mA = TruncateToInt32(ParseLeadingNumber(text));
    if (mA < 0)
        mA = 0;
    if (mA > maxCurrent)
        mA = maxCurrent;
    return mA;
}

}  // namespace proto
