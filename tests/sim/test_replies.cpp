// Every command of the set gets the reply the panel expects, at the positions its reply table
// reads, with a checksum its own framer accepts.
#include <gtest/gtest.h>

#include <cmath>

#include "SimHarness.h"
#include "sim/Replies.h"

using namespace simtest;
using proto::MakeByteFrame;
using proto::MakeQueryFrame;
using proto::MakeWordFrame;

namespace {

int Word(const Bytes& f, int pos)
{
    return f[pos] * 256 + f[pos + 1];
}

TEST(SimReplies, StatusLayoutMatchesTheKnownFrame)
{
    // 1500 mA, 0.0 dBm in, 10.0 dBm out, 25.0 degrees.
    const Bytes expected = {0xED, 0xFA, 0x0E, 0x00, 0x00, 0x00, 0x05, 0xDC, 0x1B,
                            0x58, 0x1F, 0x40, 0x00, 0x00, 0x09, 0xC4, 0x75};
    EXPECT_EQ(sim::StatusReply({1500, 7000, 8000, 2500}), expected);
}

struct Field {
    int pos;
    int value;
    bool word;
};

struct ReplyCase {
    const char* what;
    proto::Frame command;
    std::uint8_t type;
    std::size_t size;
    std::vector<Field> fields;
};

TEST(SimReplies, EveryCommandIsAnsweredWithTheFieldsInPlace)
{
    sim::AmpSetup setup;  // defaults: ACC, output off, 1500 of 6000 mA, 37.00 dBm, selector 1
    setup.selector = 2;
    // Output off: no pump current, the output monitor at its floor, the diode at ambient.
    const int floorRaw = sim::PowerRawFromDbm(sim::AmpPhysics::OUTPUT_FLOOR_DBM);
    const ReplyCase cases[] = {
        {"status", MakeQueryFrame(proto::CMD_QUERY_STATUS), proto::REPLY_STATUS, 17,
         {{4, 0, true}, {6, 0, true}, {8, 7000, true}, {10, floorRaw, true}, {12, 0, true}, {14, 2500, true}}},
        {"settings", MakeQueryFrame(proto::CMD_QUERY_SETTINGS), proto::REPLY_SETTINGS, 19,
         {{4, 10700, true}, {8, 1500, true}, {12, 6000, true}, {16, sim::MODE_ACC, false}, {17, 2, false}}},
        {"output query", MakeQueryFrame(proto::CMD_QUERY_OUTPUT), proto::REPLY_OUTPUT, 6, {{4, 0, false}}},
        {"mode APC", MakeByteFrame(proto::CMD_SET_MODE, 0), proto::REPLY_MODE, 6, {{4, 0, false}}},
        {"mode ACC", MakeByteFrame(proto::CMD_SET_MODE, 1), proto::REPLY_MODE, 6, {{4, 1, false}}},
        {"mode 7 keeps ACC", MakeByteFrame(proto::CMD_SET_MODE, 7), proto::REPLY_MODE, 6, {{4, 1, false}}},
        {"output on", MakeByteFrame(proto::CMD_SET_OUTPUT, 1), proto::REPLY_OUTPUT, 6, {{4, 1, false}}},
        {"output 2 keeps on", MakeByteFrame(proto::CMD_SET_OUTPUT, 2), proto::REPLY_OUTPUT, 6, {{4, 1, false}}},
        {"output off", MakeByteFrame(proto::CMD_SET_OUTPUT, 0), proto::REPLY_OUTPUT, 6, {{4, 0, false}}},
        {"power 20.5 dBm", MakeWordFrame(proto::CMD_SET_POWER, 9050), proto::REPLY_TARGET_POWER, 7, {{4, 9050, true}}},
        {"power above the limit", MakeWordFrame(proto::CMD_SET_POWER, 11500), proto::REPLY_TARGET_POWER, 7,
         {{4, 11000, true}}},
        {"power below the limit", MakeWordFrame(proto::CMD_SET_POWER, 0), proto::REPLY_TARGET_POWER, 7,
         {{4, 8000, true}}},
        {"current", MakeWordFrame(proto::CMD_SET_CURRENT, 1200), proto::REPLY_TARGET_CURRENT, 9,
         {{4, 0, true}, {6, 1200, true}}},
        {"current, other code", MakeWordFrame(proto::CMD_SET_CURRENT_ALT, 2500), proto::REPLY_TARGET_CURRENT, 9,
         {{4, 0, true}, {6, 2500, true}}},
        {"current above max", MakeWordFrame(proto::CMD_SET_CURRENT, 7000), proto::REPLY_TARGET_CURRENT, 9,
         {{6, 6000, true}}},
        {"settings after the changes", MakeQueryFrame(proto::CMD_QUERY_SETTINGS), proto::REPLY_SETTINGS, 19,
         {{4, 8000, true}, {8, 6000, true}, {12, 6000, true}, {16, sim::MODE_ACC, false}}},
    };

    Harness h(setup);
    SimTime t = 0;
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.what);
        t += sim::Ms(200);
        const std::vector<Received> replies = h.Exchange(t, c.command, sim::Ms(150));
        ASSERT_EQ(replies.size(), 1u);
        const Bytes& f = replies[0].frame;
        EXPECT_EQ(f[3], c.type);
        EXPECT_EQ(f.size(), c.size);
        for (const Field& field : c.fields)
            EXPECT_EQ(field.word ? Word(f, field.pos) : f[field.pos], field.value) << "position " << field.pos;
    }
    EXPECT_EQ(h.engine.Counts().rx, static_cast<long>(std::size(cases)));
    EXPECT_EQ(h.engine.Counts().tx, static_cast<long>(std::size(cases)));
}

TEST(SimReplies, StatusOfARunningUnitFollowsTheModel)
{
    Harness h(RunningSetup());
    const std::vector<Received> r = h.Exchange(sim::Ms(10), MakeQueryFrame(proto::CMD_QUERY_STATUS));
    ASSERT_EQ(r.size(), 1u);
    // 1500 mA, 0 dBm in: 1 mW plus 2 mW/mA over the 300 mA threshold, seeded at 1/(1+0.1).
    const double outDbm = 10.0 * std::log10(1.0 + 2.0 * 1200 / 1.1);
    EXPECT_EQ(Word(r[0].frame, 6), 1500);
    EXPECT_EQ(Word(r[0].frame, 10), std::lround(outDbm * 100) + 7000);
    // Settled at ambient plus 2 degrees per ampere.
    EXPECT_EQ(Word(r[0].frame, 14), 2800);
}

TEST(SimReplies, FramesOutsideTheCommandSetGetNoReply)
{
    const struct {
        const char* what;
        proto::Frame command;
        const char* event;
    } cases[] = {
        {"unknown code", MakeQueryFrame(0x55), "ignored unknown command 0x55"},
        {"query code with a word", MakeWordFrame(proto::CMD_QUERY_STATUS, 1), "ignored command 0x00 with LEN 4"},
        {"set power without a value", MakeQueryFrame(proto::CMD_SET_POWER), "ignored command 0x04 with LEN 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        EXPECT_TRUE(h.Exchange(0, c.command).empty());
        EXPECT_EQ(h.Logged("EVENT"), std::vector<std::string>{c.event});
        EXPECT_EQ(h.Logged("RX").size(), 1u);
    }
}

}  // namespace
