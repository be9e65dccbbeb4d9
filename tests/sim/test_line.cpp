// Bytes on the line: paced at 9600 baud from the reply's ready time, never bunched to catch up;
// commands found again behind junk or a broken frame.
#include <gtest/gtest.h>

#include "SimHarness.h"
#include "sim/TxPacer.h"

using namespace simtest;

namespace {

TEST(SimLine, RepliesArePacedAtTheLineRateAfterTheLatency)
{
    EXPECT_EQ(sim::ByteOffset(960), sim::kNsPerS) << "960 bytes are one second at 9600 8N1";
    for (const int latency : {0, 40}) {
        sim::AmpSetup s;
        s.latencyMs = latency;
        Harness h(s);
        const std::vector<SentByte> out = h.Run(Ms(100), proto::MakeQueryFrame(proto::CMD_QUERY_STATUS));
        ASSERT_EQ(out.size(), 17u);
        for (std::size_t k = 0; k < out.size(); ++k)
            EXPECT_EQ(out[k].t, Ms(100 + latency) + sim::ByteOffset(k)) << "byte " << k;
    }
}

TEST(SimLine, PacerNeverSendsEarlyNorCatchesUp)
{
    sim::TxPacer p;
    p.Enqueue({Bytes(17, 0xAA), Ms(5), 0, {}, true});
    p.Enqueue({Bytes(6, 0xBB), Ms(6), 0, {}, true});  // ready while the first is still going out
    sim::TxPacer::Sent s;
    for (std::int64_t k = 0; k < 23; ++k) {
        ASSERT_EQ(p.NextDue(), Ms(5) + sim::ByteOffset(k)) << "byte " << k;
        ASSERT_FALSE(p.Take(p.NextDue() - 1, s)) << "taken before its slot";
        ASSERT_TRUE(p.Take(p.NextDue(), s));
    }

    p.Enqueue({Bytes(3, 0x11), 0, 0, {}, false});
    const SimTime late = Ms(100);  // the loop woke up late
    ASSERT_TRUE(p.Take(late, s));
    EXPECT_EQ(p.NextDue(), late + sim::ByteOffset(1)) << "the next byte must not follow at once";
}

TEST(SimLine, CommandFramerFindsAFrameBehindJunkOrABrokenFrame)
{
    // Junk, a third header byte, a bad checksum, a truncated frame, LEN out of range.
    const Bytes before[]
        = {{0x13, 0x37}, {0xEF}, {0xEF, 0xEF, 0x02, 0x00, 0xE1}, {0xEF, 0xEF, 0x04, 0x0D}, {0xEF, 0xEF, 0x05}};
    for (const Bytes& junk : before) {
        Harness h;
        h.m_engine.Receive(0, junk.data(), junk.size());
        const Bytes sent = Values(h.Run(Ms(1), proto::MakeQueryFrame(proto::CMD_QUERY_STATUS)));
        EXPECT_EQ(Decode(sent).size(), 1u) << "status query behind " << sim::HexBytes(junk);
    }
}

TEST(SimLine, DroppedBytesAreLoggedOnceKnownBadOrOnceTheLineIsQuiet)
{
    // Received at 0.100000; what may still begin a frame is given up after 20 ms of quiet.
    const struct {
        const char* what;
        Bytes bytes;
        const char* logged;
    } cases[] = {
        {"bad checksum", {0xEF, 0xEF, 0x02, 0x00, 0xE1}, "0.100000 RX-BAD EF EF 02 00 E1\n"},
        {"junk", {0x13, 0x37}, "0.100000 RX-BAD 13 37\n"},
        {"bad checksum that is a header byte", {0xEF, 0xEF, 0x02, 0x00, 0xEF}, "0.120000 RX-BAD EF EF 02 00 EF\n"},
        {"truncated frame", {0xEF, 0xEF, 0x04, 0x0D}, "0.120000 RX-BAD EF EF 04 0D\n"},
        {"junk, then a header byte", {0x13, 0x37, 0xEF}, "0.120000 RX-BAD 13 37 EF\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        std::vector<std::string> lines;
        h.m_log.AddSink([&lines](const std::string& line) { lines.push_back(line); });
        h.m_engine.Receive(Ms(100), c.bytes.data(), c.bytes.size());
        h.m_engine.CheckRxQuiet(Ms(120) - 1);
        h.m_engine.CheckRxQuiet(Ms(120));
        EXPECT_EQ(lines, std::vector<std::string>{c.logged});
        EXPECT_EQ(Decode(Values(h.Run(Ms(200), proto::MakeQueryFrame(proto::CMD_QUERY_STATUS)))).size(), 1u);
    }
}

}  // namespace
