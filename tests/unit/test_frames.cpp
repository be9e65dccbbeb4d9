// Command frames and the operator-entry conversions, byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "protocol/Frames.h"

using namespace proto;

namespace {

std::vector<int> Bytes(const Frame& f)
{
    return std::vector<int>(f.bytes, f.bytes + f.size);
}

struct FrameCase {
    const char* what;
    Frame frame;
    std::vector<int> expected;
};

TEST(Frames, EveryCommandOfTheCommandSet)
{
    const FrameCase cases[] = {
        {"status query", MakeQueryFrame(CMD_QUERY_STATUS), {0xEF, 0xEF, 0x02, 0x00, 0xE0}},
        {"settings query", MakeQueryFrame(CMD_QUERY_SETTINGS), {0xEF, 0xEF, 0x02, 0x02, 0xE2}},
        {"output query", MakeQueryFrame(CMD_QUERY_OUTPUT), {0xEF, 0xEF, 0x02, 0x25, 0x05}},
        {"mode ACC", MakeByteFrame(CMD_SET_MODE, 1), {0xEF, 0xEF, 0x03, 0x06, 0x01, 0xE8}},
        {"mode APC", MakeByteFrame(CMD_SET_MODE, 0), {0xEF, 0xEF, 0x03, 0x06, 0x00, 0xE7}},
        {"output on", MakeByteFrame(CMD_SET_OUTPUT, 1), {0xEF, 0xEF, 0x03, 0x26, 0x01, 0x08}},
        {"output off", MakeByteFrame(CMD_SET_OUTPUT, 0), {0xEF, 0xEF, 0x03, 0x26, 0x00, 0x07}},
        {"1500 mA", MakeWordFrame(CMD_SET_CURRENT, 1500), {0xEF, 0xEF, 0x04, 0x0D, 0x05, 0xDC, 0xD0}},
        {"1500 mA alt", MakeWordFrame(CMD_SET_CURRENT_ALT, 1500), {0xEF, 0xEF, 0x04, 0x0C, 0x05, 0xDC, 0xCF}},
        {"1200 mA", MakeWordFrame(CMD_SET_CURRENT, 1200), {0xEF, 0xEF, 0x04, 0x0D, 0x04, 0xB0, 0xA3}},
        {"800 mA", MakeWordFrame(CMD_SET_CURRENT, 800), {0xEF, 0xEF, 0x04, 0x0D, 0x03, 0x20, 0x12}},
        {"power 20.5 dBm", MakeWordFrame(CMD_SET_POWER, 9050), {0xEF, 0xEF, 0x04, 0x04, 0x23, 0x5A, 0x63}},
        {"power raw 0", MakeWordFrame(CMD_SET_POWER, 0), {0xEF, 0xEF, 0x04, 0x04, 0x00, 0x00, 0xE6}},
        {"power 0 dBm", MakeWordFrame(CMD_SET_POWER, 7000), {0xEF, 0xEF, 0x04, 0x04, 0x1B, 0x58, 0x59}},
        // Only the low 16 bits of the held value travel.
        {"power wraps", MakeWordFrame(CMD_SET_POWER, 65536 + 0x0102), {0xEF, 0xEF, 0x04, 0x04, 0x01, 0x02, 0xE9}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bytes(c.frame), c.expected) << c.what;
}

TEST(Frames, PreparedFrameRewrittenInPlaceMatchesAFreshOne)
{
    Frame prepared = MakeWordFrame(CMD_SET_CURRENT, 0);
    for (int value : {1, 255, 256, 1500, 65535, -1, 70000}) {
        SetWordValue(prepared, value);
        EXPECT_EQ(prepared, MakeWordFrame(CMD_SET_CURRENT, value)) << value;
    }
    Frame output = MakeByteFrame(CMD_SET_OUTPUT, 0);
    SetByteValue(output, 1);
    EXPECT_EQ(output, MakeByteFrame(CMD_SET_OUTPUT, 1));
}

TEST(Conversions, LeadingDecimalNumber)
{
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"", 0.0},
        {"-", 0.0},
        {"-.", 0.0},
        {".", 0.0},
        {"abc", 0.0},
        {"12.9", 12.9},
        {"-12.5", -12.5},
        {"  7", 7.0},
        {"+3", 3.0},
        {"12abc", 12.0},
        {"1.5.3", 1.5},
        {".5", 0.5},
        {"5.", 5.0},
        {"1e3", 1000.0},
        {"2E-2", 0.02},
        {"1e", 1.0},
        {"1e+", 1.0},
        {"0x10", 0.0},
        {"inf", 0.0},
        {"nan", 0.0},
        {"1e-400", 0.0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(ParseLeadingNumber(c.text), c.value) << '"' << c.text << '"';
    EXPECT_TRUE(std::isinf(ParseLeadingNumber("1e400")));
}

TEST(Conversions, TruncationThrough64Bits)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double in;
        std::int32_t out;
    } cases[] = {
        {12.9, 12},
        {-12.9, -12},
        {2147483647.0, 2147483647},
        {2147483648.0, -2147483647 - 1},  // 2^31 keeps its low 32 bits
        {4294967295.0, -1},
        {4294967296.0 + 5, 5},
        {9.2e18, static_cast<std::int32_t>(static_cast<std::uint32_t>(9200000000000000000ULL))},
        {9223372036854775808.0, 0},   // 2^63: outside the 64-bit range
        {-9223372036854775808.0, 0},  // -2^63 fits and its low 32 bits are 0
        {-1e19, 0},
        {inf, 0},
        {-inf, 0},
        {std::nan(""), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TruncateToInt32(c.in), c.out) << c.in;
}

TEST(Conversions, PowerEntries)
{
    const struct {
        const char* text;
        std::int32_t raw;
    } cases[] = {
        {"20.5", 9050},
        {"0", 7000},
        {"-70", 0},
        {"-80", 0},
        {"-69.999", 0},
        {"", 7000},
        {"abc", 7000},
        {"585.35", 65535},
        {"585.36", 65536},
        {"10", 8000},
        {"-0.5", 6950},
        {"1e30", 0},
        {"21474766.47", 2147483647},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PowerEntryToRaw(c.text), c.raw) << c.text;
}

TEST(Conversions, CurrentEntries)
{
    const struct {
        const char* text;
        std::int32_t max;
        std::int32_t mA;
    } cases[] = {
        {"1500", 1200, 1200},
        {"12.9", 1200, 12},
        {"-", 1200, 0},
        {"-.", 1200, 0},
        {"-5", 1200, 0},
        {"800", 1200, 800},
        {"800", 0, 0},
        {"2147483648", 5000, 0},
        {"4294967295", 5000, 0},
        {"4294967296.7", 5000, 0},
        {"1e30", 5000, 0},
        {"4294967306", 5000, 10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CurrentEntryToMilliamps(c.text, c.max), c.mA) << c.text << " max " << c.max;
}

}  // namespace
