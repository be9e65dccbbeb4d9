// The reply codec: every reply type both ways against the bytes the panel's tests use, stale
// positions of short frames, and round trips at the ends of each field.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/Replies.h"

namespace proto {

// Field by field, for comparing decoded replies.
bool operator==(const StatusReply& a, const StatusReply& b)
{
    return a.currentMa == b.currentMa && a.inputPowerRaw == b.inputPowerRaw && a.outputPowerRaw == b.outputPowerRaw
        && a.temperatureRaw == b.temperatureRaw;
}
bool operator==(const SettingsReply& a, const SettingsReply& b)
{
    return a.targetPowerRaw == b.targetPowerRaw && a.targetCurrentMa == b.targetCurrentMa
        && a.maxCurrentMa == b.maxCurrentMa && a.mode == b.mode && a.currentCmdSelect == b.currentCmdSelect;
}
bool operator==(const TargetPowerReply& a, const TargetPowerReply& b)
{
    return a.targetPowerRaw == b.targetPowerRaw;
}
bool operator==(const ModeReply& a, const ModeReply& b)
{
    return a.mode == b.mode;
}
bool operator==(const TargetCurrentReply& a, const TargetCurrentReply& b)
{
    return a.targetCurrentMa == b.targetCurrentMa;
}
bool operator==(const OutputReply& a, const OutputReply& b)
{
    return a.state == b.state;
}
bool operator==(const OtherReply& a, const OtherReply& b)
{
    return a.type == b.type;
}

}  // namespace proto

using namespace proto;

namespace {

// The last frame the framer completed from these bytes, decoded; the framer is kept so a test can
// feed it more.
Reply Feed(RxFramer& framer, const ReplyBytes& bytes)
{
    bool complete = false;
    for (std::uint8_t b : bytes)
        complete = framer.Push(b);
    EXPECT_TRUE(complete) << "the framer did not accept the frame";
    return DecodeReply(framer);
}

struct ReplyCase {
    const char* what;
    ReplyBytes bytes;
    Reply reply;
};

TEST(ReplyCodec, EveryTypeBothWaysAgainstTheWireBytes)
{
    const ReplyCase cases[] = {
        {"status 1500 mA, 0.0 / 10.0 dBm, 25.0 C",
            {0xED, 0xFA, 0x0E, 0x00, 0x00, 0x00, 0x05, 0xDC, 0x1B, 0x58, 0x1F, 0x40, 0x00, 0x00, 0x09, 0xC4, 0x75},
            StatusReply{1500, 7000, 8000, 2500}},
        {"settings 0 dBm, 500 of 1000 mA, ACC, selector 2",
            {0xED, 0xFA, 0x10, 0x02, 0x1B, 0x58, 0, 0, 0x01, 0xF4, 0, 0, 0x03, 0xE8, 0, 0, 0x01, 0x02, 0x4F},
            SettingsReply{7000, 500, 1000, kModeAcc, 2}},
        {"target power 20.5 dBm", {0xED, 0xFA, 0x04, 0x03, 0x23, 0x5A, 0x6B}, TargetPowerReply{9050}},
        {"mode APC", {0xED, 0xFA, 0x03, 0x05, 0x00, 0xEF}, ModeReply{kModeApc}},
        {"target current 1200 mA", {0xED, 0xFA, 0x06, 0x07, 0x00, 0x00, 0x04, 0xB0, 0xA8}, TargetCurrentReply{1200}},
        {"output on", {0xED, 0xFA, 0x03, 0x25, 0x01, 0x10}, OutputReply{kOutputOn}},
        {"a type outside the six", {0xED, 0xFA, 0x02, 0x42, 0x2B}, OtherReply{0x42}},
    };
    for (const ReplyCase& c : cases) {
        RxFramer framer;
        EXPECT_EQ(Feed(framer, c.bytes), c.reply) << c.what;
        EXPECT_EQ(EncodeReply(c.reply), c.bytes) << c.what;
    }
}

TEST(ReplyCodec, ShortSettingsFrameReadsWhatEarlierFramesLeftInTheFramer)
{
    RxFramer framer;
    Feed(framer, EncodeReply(SettingsReply{9050, 640, 1000, kModeAcc, 2}));
    // LEN 8: power and current only; its checksum sits at 10, positions 12-17 are the earlier frame's.
    const Reply shortFrame = Feed(framer, MakeReplyFrame(REPLY_SETTINGS, {0x1C, 0x20, 0, 0, 0x00, 0x64}));
    EXPECT_EQ(shortFrame, Reply(SettingsReply{0x1C20, 100, 1000, kModeAcc, 2}));
}

TEST(ReplyCodec, RoundTripsAtTheEndsOfEveryField)
{
    const Reply replies[] = {
        StatusReply{0, 0, 0, 0},
        StatusReply{65535, 65535, 65535, 65535},
        StatusReply{1, 256, 255, 0x8000},
        SettingsReply{0, 0, 0, 0, 0},
        SettingsReply{65535, 65535, 65535, 255, 255},
        TargetPowerReply{0},
        TargetPowerReply{65535},
        ModeReply{255},
        TargetCurrentReply{0},
        TargetCurrentReply{65535},
        OutputReply{kOutputOff},
        OutputReply{2},
    };
    RxFramer framer;
    for (const Reply& reply : replies)
        EXPECT_EQ(Feed(framer, EncodeReply(reply)), reply) << testing::PrintToString(EncodeReply(reply));
}

}  // namespace
