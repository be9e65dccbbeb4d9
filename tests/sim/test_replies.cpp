// Every command of the set is answered at the positions the panel reads, with a checksum its own
// framer accepts; each injected fault shapes the reply as it says.
#include <gtest/gtest.h>

#include <cmath>

#include "SimHarness.h"
#include "sim/Faults.h"

using namespace simtest;
using namespace proto;
using sim::FaultKind;

namespace {

struct Field {
    int pos;
    int value;
    int width = 2;  // bytes, high first
};

struct ReplyCase {
    const char* what;
    Frame command;
    std::uint8_t type;
    std::size_t size;  // 0: no reply
    std::vector<Field> fields;
};

TEST(SimReplies, EveryCommandIsAnsweredWithTheFieldsInPlace)
{
    sim::AmpSetup setup;
    setup.output = proto::kOutputOn;  // running, settled: 1500 mA, 0 dBm in, 28.00 degrees
    setup.selector = 2;
    const int out1500 = static_cast<int>(std::lround(1000 * std::log10(1.0 + 2.0 * 1200 / 1.1))) + 7000;
    const ReplyCase cases[] = {
        {"status", MakeQueryFrame(CMD_QUERY_STATUS), REPLY_STATUS, 17,
            {{6, 1500}, {8, 7000}, {10, out1500}, {14, 2800}}},
        {"settings", MakeQueryFrame(CMD_QUERY_SETTINGS), REPLY_SETTINGS, 19,
            {{4, 10700}, {8, 1500}, {12, 6000}, {16, proto::kModeAcc, 1}, {17, 2, 1}}},
        {"output query", MakeQueryFrame(CMD_QUERY_OUTPUT), REPLY_OUTPUT, 6, {{4, 1, 1}}},
        {"mode APC", MakeByteFrame(CMD_SET_MODE, 0), REPLY_MODE, 6, {{4, 0, 1}}},
        {"mode 7 keeps APC", MakeByteFrame(CMD_SET_MODE, 7), REPLY_MODE, 6, {{4, 0, 1}}},
        {"mode ACC", MakeByteFrame(CMD_SET_MODE, 1), REPLY_MODE, 6, {{4, 1, 1}}},
        {"output off", MakeByteFrame(CMD_SET_OUTPUT, 0), REPLY_OUTPUT, 6, {{4, 0, 1}}},
        {"output 2 keeps off", MakeByteFrame(CMD_SET_OUTPUT, 2), REPLY_OUTPUT, 6, {{4, 0, 1}}},
        {"status, output off", MakeQueryFrame(CMD_QUERY_STATUS), REPLY_STATUS, 17, {{6, 0}, {10, 2000}}},
        {"output on", MakeByteFrame(CMD_SET_OUTPUT, 1), REPLY_OUTPUT, 6, {{4, 1, 1}}},
        {"power 20.5 dBm", MakeWordFrame(CMD_SET_POWER, 9050), REPLY_TARGET_POWER, 7, {{4, 9050}}},
        {"power held to max", MakeWordFrame(CMD_SET_POWER, 11500), REPLY_TARGET_POWER, 7, {{4, 11000}}},
        {"power held to min", MakeWordFrame(CMD_SET_POWER, 0), REPLY_TARGET_POWER, 7, {{4, 8000}}},
        {"current", MakeWordFrame(CMD_SET_CURRENT, 1200), REPLY_TARGET_CURRENT, 9, {{4, 0}, {6, 1200}}},
        {"current held to max, other code", MakeWordFrame(CMD_SET_CURRENT_ALT, 7000), REPLY_TARGET_CURRENT, 9,
            {{6, 6000}}},
        {"settings hold the changes", MakeQueryFrame(CMD_QUERY_SETTINGS), REPLY_SETTINGS, 19,
            {{4, 8000}, {8, 6000}, {16, proto::kModeAcc, 1}}},
        {"unknown code", MakeQueryFrame(0x55), 0, 0, {}},
        {"query code with a word", MakeWordFrame(CMD_QUERY_STATUS, 1), 0, 0, {}},
        {"set power without a value", MakeQueryFrame(CMD_SET_POWER), 0, 0, {}},
    };
    Harness h(setup);
    SimTime t = 0;
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes sent = Values(h.Run(t += Ms(200), c.command, Ms(150)));
        const std::vector<Bytes> replies = Decode(sent);
        ASSERT_EQ(replies.size(), c.size ? 1u : 0u) << "checksummed frame expected";
        if (c.size == 0) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        const Bytes& f = replies[0];
        ASSERT_EQ(f, sent) << "nothing but the frame";
        EXPECT_EQ(f.size(), c.size);
        EXPECT_EQ(f[3], c.type);
        for (const Field& field : c.fields)
            EXPECT_EQ(field.width == 1 ? f[field.pos] : f[field.pos] * 256 + f[field.pos + 1], field.value)
                << "position " << field.pos;
    }
}

struct FaultCase {
    FaultKind kind;
    int value;
    int count;  // replies it applies to, or kUntilCleared
    std::uint8_t command;
    Bytes (*onLine)(Bytes reply);
    SimTime late;   // added before the first byte
    SimTime pause;  // added before the second half
};

Bytes Same(Bytes r)
{
    return r;
}
// The table's shape takes the reply by value, as the cases that change it need.
Bytes Nothing(Bytes)  // NOLINT(performance-unnecessary-value-param)
{
    return {};
}

TEST(SimFaults, EachKindShapesTheRepliesItApplies)
{
    const FaultCase cases[] = {
        {FaultKind::kNoReply, 0, 1, CMD_QUERY_STATUS, Nothing, 0, 0},
        {FaultKind::kNoReply, 0, 2, CMD_QUERY_STATUS, Nothing, 0, 0},
        {FaultKind::kNoReply, 0, sim::FaultSet::kUntilCleared, CMD_QUERY_STATUS, Nothing, 0, 0},
        {FaultKind::kLate, 300, 1, CMD_QUERY_STATUS, Same, Ms(300), 0},
        {FaultKind::kBadChecksum, 0, 1, CMD_QUERY_STATUS,
            [](Bytes r) {
                ++r.back();
                return r;
            },
            0, 0},
        {FaultKind::kTruncate, 0, 1, CMD_QUERY_STATUS,
            [](Bytes r) {
                r.resize(r.size() / 2);
                return r;
            },
            0, 0},
        {FaultKind::kSplit, 50, 1, CMD_QUERY_STATUS, Same, 0, Ms(50)},
        {FaultKind::kGarbage, 0, 1, CMD_QUERY_STATUS,
            [](Bytes r) {
                r.insert(r.begin(), {0x55, 0xAA, 0x00, 0xFF, 0x13});
                return r;
            },
            0, 0},
        {FaultKind::kBadLen, 0, 1, CMD_QUERY_STATUS,
            [](Bytes r) {
                r[2] += 5;
                return r;
            },
            0, 0},
        {FaultKind::kDouble, 0, 1, CMD_QUERY_STATUS,
            [](Bytes r) {
                const Bytes once = r;
                r.insert(r.end(), once.begin(), once.end());
                return r;
            },
            0, 0},
        {FaultKind::kNoSettings, 0, 1, CMD_QUERY_SETTINGS, Nothing, 0, 0},
        {FaultKind::kNoSettings, 0, 1, CMD_QUERY_STATUS, Same, 0, 0},
        {FaultKind::kSelector, 3, 1, CMD_QUERY_SETTINGS,
            [](Bytes r) {
                r[17] = 3;
                r.back() = FrameChecksum(r.data(), r.size() - 1);
                return r;
            },
            0, 0},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(testing::Message() << sim::FaultName(c.kind) << " x" << c.count << " on " << int(c.command));
        Harness h;  // output off: the same reply every time
        const Frame command = MakeQueryFrame(c.command);
        const Bytes clean = Values(h.Run(0, command));
        ASSERT_EQ(Decode(clean).size(), 1u);
        h.m_engine.Faults().Set(c.kind, c.value, c.count);
        const int faulted = c.count == sim::FaultSet::kUntilCleared ? 3 : c.count;
        for (int i = 1; i <= faulted; ++i) {
            const SimTime rx = Ms(1000) * i;
            const std::vector<SentByte> out = h.Run(rx, command);
            ASSERT_EQ(Values(out), c.onLine(clean));
            for (std::size_t k = 0; k < out.size(); ++k)  // within the ns a new burst rounds off
                EXPECT_NEAR(out[k].t - rx - Ms(5) - c.late - (k >= out.size() / 2 ? c.pause : 0), sim::ByteOffset(k), 1)
                    << "byte " << k;
        }
        if (c.count == sim::FaultSet::kUntilCleared)
            h.m_engine.Faults().ClearAll();
        EXPECT_EQ(Values(h.Run(Ms(10000), command)), clean) << "used up or cleared";
    }
}

}  // namespace

namespace {

TEST(SimFaults, NoiseFillsTheIdleLineAtItsRateAndNeverSplitsAReply)
{
    Harness h;
    const Frame query = MakeQueryFrame(CMD_QUERY_STATUS);
    const Bytes clean = Values(h.Run(0, query));
    h.m_engine.Faults().Set(FaultKind::kNoise, 0, 60);
    std::vector<SentByte> out;
    std::uint8_t b = 0;
    const SimTime quiet = h.m_engine.NextTxTime();  // once the first reply has left the line
    for (SimTime due = quiet; due < quiet + Ms(20) && h.m_engine.TakeTxByte(due, b); due = h.m_engine.NextTxTime())
        out.push_back({due, b});
    ASSERT_GE(out.size(), 18u) << "noise does not fill the line";
    for (std::size_t k = 1; k < out.size(); ++k)
        EXPECT_NEAR(out[k].t - out[k - 1].t, sim::ByteOffset(1), 1) << "byte " << k;

    const std::vector<SentByte> withReply = h.Run(quiet + Ms(20), query, Ms(200));
    const Bytes line = Values(withReply);
    EXPECT_EQ(line.size(), 60 - out.size() + clean.size()) << "the noise ran out, the reply went whole";
    EXPECT_NE(std::search(line.begin(), line.end(), clean.begin(), clean.end()), line.end())
        << "a reply split by noise";
}

}  // namespace
