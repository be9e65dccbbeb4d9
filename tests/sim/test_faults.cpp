// Each injected fault does what it says, to the replies it should touch, as often as asked.
#include <gtest/gtest.h>

#include "SimHarness.h"
#include "sim/Faults.h"
#include "sim/Replies.h"

using namespace simtest;
using sim::FaultKind;
using sim::Ms;

namespace {

const proto::Frame STATUS_QUERY = proto::MakeQueryFrame(proto::CMD_QUERY_STATUS);
const proto::Frame SETTINGS_QUERY = proto::MakeQueryFrame(proto::CMD_QUERY_SETTINGS);

Bytes Values(const std::vector<SentByte>& sent)
{
    Bytes out;
    for (const SentByte& s : sent)
        out.push_back(s.value);
    return out;
}

// What one status query puts on the line with a fault set, from t = 0.
std::vector<SentByte> StatusUnder(FaultKind kind, int value, Bytes* expectedReply)
{
    Harness h;
    h.engine.Faults().Set(kind, value, 1);
    h.Send(0, STATUS_QUERY);
    *expectedReply = sim::StatusReply(h.engine.Model().Status());
    return h.RunUntil(Ms(2000));
}

TEST(SimFaults, EachKindShapesTheReply)
{
    Bytes reply;
    const SimTime latency = Ms(5);

    auto out = StatusUnder(FaultKind::NO_REPLY, 0, &reply);
    EXPECT_TRUE(out.empty()) << "no-reply";

    out = StatusUnder(FaultKind::LATE, 300, &reply);
    ASSERT_EQ(Values(out), reply) << "late";
    EXPECT_EQ(out.front().t, latency + Ms(300));

    out = StatusUnder(FaultKind::BAD_CHECKSUM, 0, &reply);
    Bytes corrupted = reply;
    ++corrupted.back();
    EXPECT_EQ(Values(out), corrupted) << "bad-checksum";
    EXPECT_TRUE(Harness().Decode(out).empty()) << "the panel's framer must drop it";

    out = StatusUnder(FaultKind::TRUNCATE, 0, &reply);
    EXPECT_EQ(Values(out), Bytes(reply.begin(), reply.begin() + 8)) << "truncate";

    out = StatusUnder(FaultKind::SPLIT, 50, &reply);
    ASSERT_EQ(Values(out), reply) << "split";
    EXPECT_EQ(out[7].t, latency + sim::ByteOffset(7));
    EXPECT_EQ(out[8].t, latency + sim::ByteOffset(8) + Ms(50)) << "pause after the first half's last stop bit";
    EXPECT_EQ(Harness().Decode(out).size(), 1u) << "split frame still whole for the panel";

    out = StatusUnder(FaultKind::GARBAGE, 0, &reply);
    Bytes junkThenReply = sim::GARBAGE_BYTES;
    junkThenReply.insert(junkThenReply.end(), reply.begin(), reply.end());
    EXPECT_EQ(Values(out), junkThenReply) << "garbage";
    EXPECT_EQ(out[5].t, latency + sim::ByteOffset(5)) << "the reply follows the junk at once";
    const auto decoded = Harness().Decode(out);
    ASSERT_EQ(decoded.size(), 1u) << "the junk must not hide the reply from the panel";
    EXPECT_EQ(decoded[0].frame, reply);
}

TEST(SimFaults, SettingsFaultsTouchOnlySettingsReplies)
{
    Harness h;
    h.engine.Faults().Set(FaultKind::NO_SETTINGS, 0, 1);
    h.engine.Faults().Set(FaultKind::SELECTOR, 3, 1);
    EXPECT_EQ(h.Exchange(0, STATUS_QUERY).size(), 1u) << "status answered";
    EXPECT_TRUE(h.Exchange(Ms(1000), SETTINGS_QUERY).empty()) << "first settings query unanswered";

    auto r = h.Exchange(Ms(2000), SETTINGS_QUERY);
    ASSERT_EQ(r.size(), 1u) << "count used up";
    EXPECT_EQ(r[0].frame[17], 3) << "selector reported by the fault, checksum still right";
    EXPECT_EQ(h.engine.Model().Setup().selector, 1) << "held selector unchanged";

    r = h.Exchange(Ms(3000), SETTINGS_QUERY);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].frame[17], 1);
}

TEST(SimFaults, CountsAndUntilCleared)
{
    const struct {
        const char* what;
        int count;
        int queries;
        int expectAnswered;
    } cases[] = {
        {"next 1 of 3", 1, 3, 2},
        {"next 2 of 3", 2, 3, 1},
        {"until cleared", sim::FaultSet::UNTIL_CLEARED, 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.engine.Faults().Set(FaultKind::NO_REPLY, 0, c.count);
        int answered = 0;
        for (int i = 0; i < c.queries; ++i)
            answered += static_cast<int>(h.Exchange(Ms(500) * i, STATUS_QUERY, Ms(400)).size());
        EXPECT_EQ(answered, c.expectAnswered);
        EXPECT_EQ(h.Logged("EVENT").size(), static_cast<std::size_t>(c.queries - c.expectAnswered));
        h.engine.Faults().ClearAll();
        EXPECT_EQ(h.Exchange(Ms(10000), STATUS_QUERY).size(), 1u) << "cleared";
    }
}

TEST(SimFaults, AppliedFaultsAreLoggedAndListed)
{
    Harness h;
    sim::FaultSet& f = h.engine.Faults();
    f.Set(FaultKind::LATE, 120, 2);
    f.Set(FaultKind::GARBAGE, 0, sim::FaultSet::UNTIL_CLEARED);
    EXPECT_EQ(f.Json(), "[{\"kind\":\"late\",\"value\":120,\"remaining\":2},"
                        "{\"kind\":\"garbage\",\"remaining\":\"on\"}]");
    h.Exchange(0, STATUS_QUERY);
    EXPECT_EQ(h.Logged("EVENT"),
              (std::vector<std::string>{"fault late 120 on reply 0x00", "fault garbage on reply 0x00"}));
    EXPECT_EQ(h.Logged("TX"), (std::vector<std::string>{sim::HexBytes(sim::GARBAGE_BYTES),
                                                        sim::HexBytes(sim::StatusReply(h.engine.Model().Status()))}));
    EXPECT_EQ(h.engine.Counts().tx, 1) << "junk is not a reply";
    EXPECT_EQ(f.Get(FaultKind::LATE).remaining, 1);
}

}  // namespace
