// Bytes on the line: pacing at 9600 baud, reply latency, and the command framer's resync and
// logging of what it drops.
#include <gtest/gtest.h>

#include "SimHarness.h"
#include "sim/CommandFramer.h"
#include "sim/TxPacer.h"

using namespace simtest;
using sim::Ms;

namespace {

// 10 bits at 9600 baud.
constexpr double BYTE_NS = 1e10 / 9600;

TEST(SimTxPacer, ByteSlotsNeverDrift)
{
    EXPECT_EQ(sim::ByteOffset(960), sim::NS_PER_S);  // 960 bytes are exactly one second
    EXPECT_EQ(sim::ByteOffset(1), 1041666);
    EXPECT_EQ(sim::ByteOffset(3), 3125000);
}

TEST(SimTxPacer, BytesGoOutOneSlotApartFromTheReadyTime)
{
    sim::TxPacer p;
    p.Enqueue({Bytes(17, 0xAA), Ms(5), 0, {}, true});
    p.Enqueue({Bytes(6, 0xBB), Ms(6), 0, {}, true});  // ready while the first is still going out
    std::vector<SimTime> times;
    sim::TxPacer::Sent s;
    for (SimTime due = p.NextDue(); due != sim::NEVER; due = p.NextDue()) {
        ASSERT_FALSE(p.Take(due - 1, s)) << "taken before its slot";
        ASSERT_TRUE(p.Take(due, s));
        times.push_back(due);
    }
    ASSERT_EQ(times.size(), 23u);
    for (std::size_t k = 0; k < times.size(); ++k)
        EXPECT_EQ(times[k], Ms(5) + sim::ByteOffset(static_cast<std::int64_t>(k))) << "byte " << k;
}

TEST(SimTxPacer, AByteSentLateDoesNotLetTheNextCatchUp)
{
    sim::TxPacer p;
    p.Enqueue({Bytes(3, 0x11), 0, 0, {}, false});
    sim::TxPacer::Sent s;
    ASSERT_TRUE(p.Take(0, s));
    const SimTime late = p.NextDue() + Ms(2);  // the loop woke up late
    ASSERT_TRUE(p.Take(late, s));
    EXPECT_EQ(p.NextDue(), late + sim::ByteOffset(1));
}

TEST(SimTxPacer, AGapCountsFromTheEndOfTheLastByte)
{
    sim::TxPacer p;
    p.Enqueue({Bytes(2, 0x11), 0, 0, {}, false});
    p.Enqueue({Bytes(2, 0x22), 0, Ms(50), {}, false});
    sim::TxPacer::Sent s;
    ASSERT_TRUE(p.Take(p.NextDue(), s));
    ASSERT_TRUE(p.Take(p.NextDue(), s));
    EXPECT_EQ(p.NextDue(), sim::ByteOffset(2) + Ms(50));
}

TEST(SimEngine, ReplyStartsAfterTheLatencyAndIsPacedAtLineRate)
{
    const int latencies[] = {0, 5, 40};
    for (const int latency : latencies) {
        sim::AmpSetup s;
        s.latencyMs = latency;
        Harness h(s);
        const SimTime rx = Ms(100);
        h.Send(rx, proto::MakeQueryFrame(proto::CMD_QUERY_STATUS));
        const std::vector<SentByte> out = h.RunUntil(Ms(500));
        ASSERT_EQ(out.size(), 17u);
        EXPECT_EQ(out.front().t, rx + Ms(latency));
        for (std::size_t k = 1; k < out.size(); ++k)
            EXPECT_NEAR(static_cast<double>(out[k].t - out[k - 1].t), BYTE_NS, 1.0);
        EXPECT_EQ(h.lines.back(), "0." + std::to_string(100 + latency) + "000 TX " +
                                      sim::HexBytes(h.Decode(out).at(0).frame) + "\n");
    }
}

TEST(SimEngine, LogLinesCarryTimeTagAndHex)
{
    Harness h;
    h.Send(1234567891, proto::MakeQueryFrame(proto::CMD_QUERY_OUTPUT));
    h.RunUntil(sim::NS_PER_S * 2);
    ASSERT_EQ(h.lines.size(), 2u);
    EXPECT_EQ(h.lines[0], "1.234567 RX EF EF 02 25 05\n");
    EXPECT_EQ(h.lines[1], "1.239567 TX ED FA 03 25 00 0F\n");
}

struct FramerCase {
    const char* what;
    std::vector<Bytes> reads;             // what each read() returned
    std::vector<std::string> rx;          // RX lines
    std::vector<std::string> rxBad;       // RX-BAD lines
};

TEST(SimEngine, CommandFramerResyncsAndLogsWhatItDrops)
{
    const FramerCase cases[] = {
        {"one frame over three reads", {{0xEF}, {0xEF, 0x02}, {0x00, 0xE0}}, {"EF EF 02 00 E0"}, {}},
        {"junk before a frame", {{0x13, 0x37, 0xEF, 0xEF, 0x02, 0x25, 0x05}}, {"EF EF 02 25 05"}, {"13 37"}},
        {"a third header byte", {{0xEF, 0xEF, 0xEF, 0x02, 0x00, 0xE0}}, {"EF EF 02 00 E0"}, {"EF"}},
        {"bad checksum, then a good frame", {{0xEF, 0xEF, 0x02, 0x00, 0xE1}, {0xEF, 0xEF, 0x02, 0x02, 0xE2}},
         {"EF EF 02 02 E2"}, {"EF EF 02 00 E1"}},
        {"LEN out of range", {{0xEF, 0xEF, 0x05, 0x00, 0xE0}}, {}, {"EF EF 05 00 E0"}},
        // A frame cut short is found again inside the bytes that follow it.
        {"truncated frame, then a whole one", {{0xEF, 0xEF, 0x04, 0x0D}, {0xEF, 0xEF, 0x02, 0x00, 0xE0}},
         {"EF EF 02 00 E0"}, {"EF EF 04 0D"}},
        {"two frames in one read", {{0xEF, 0xEF, 0x02, 0x00, 0xE0, 0xEF, 0xEF, 0x03, 0x26, 0x01, 0x08}},
         {"EF EF 02 00 E0", "EF EF 03 26 01 08"}, {}},
    };
    for (const FramerCase& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        SimTime t = 0;
        for (const Bytes& read : c.reads)
            h.Send(t += Ms(1), read);
        EXPECT_EQ(h.Logged("RX"), c.rx);
        EXPECT_EQ(h.Logged("RX-BAD"), c.rxBad);
        EXPECT_EQ(h.engine.Counts().rx, static_cast<long>(c.rx.size()));
        EXPECT_EQ(h.engine.Counts().rxBad, static_cast<long>(c.rxBad.size()));
        EXPECT_EQ(h.Decode(h.RunUntil(Ms(1000))).size(), c.rx.size()) << "one reply per frame";
    }
}

TEST(SimEngine, RxTimeIsTheTimeOfTheFramesLastByte)
{
    Harness h;
    h.Send(Ms(10), Bytes{0xEF, 0xEF});
    h.Send(Ms(12), Bytes{0x02, 0x00, 0xE0});
    ASSERT_EQ(h.lines.size(), 1u);
    EXPECT_EQ(h.lines[0], "0.012000 RX EF EF 02 00 E0\n");
}

TEST(SimEngine, DroppingTheLineForgetsHalfFramesAndUnsentReplies)
{
    Harness h;
    h.Send(0, proto::MakeQueryFrame(proto::CMD_QUERY_STATUS));
    h.Send(Ms(1), Bytes{0xEF, 0xEF, 0x02});
    h.engine.DropLine();
    EXPECT_EQ(h.engine.NextTxTime(), sim::NEVER);
    h.Send(Ms(20), Bytes{0x00, 0xE0});  // would have completed the half frame
    EXPECT_TRUE(h.RunUntil(Ms(1000)).empty());
    EXPECT_EQ(h.engine.Counts().rx, 1);
}

}  // namespace
