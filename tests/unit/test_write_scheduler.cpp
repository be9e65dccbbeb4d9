// The write rule on its own clock: when each frame goes out, and which are never sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "serial/WriteScheduler.h"

namespace {

struct Ask {
    std::int64_t at;
    std::uint8_t frame;  // a one-byte stand-in for a frame
};

// Runs a worker that cannot write before freeAt, then takes every due frame each millisecond
// until end. Returns "frame@time" for what went out.
std::vector<std::string> Replay(const std::vector<Ask>& asks, std::int64_t freeAt, std::int64_t end = 3000)
{
    WriteScheduler writes;
    std::vector<std::string> sent;
    std::vector<std::uint8_t> frame;
    for (std::int64_t t = 0; t <= end; ++t) {
        for (const Ask& a : asks)
            if (a.at == t)
                writes.Push(&a.frame, 1, t);
        while (t >= freeAt && writes.TakeDue(t, frame))
            sent.push_back(std::to_string(frame[0]) + "@" + std::to_string(t));
    }
    return sent;
}

using Sent = std::vector<std::string>;

TEST(WriteScheduler, FramesGoOutPacedAndNeverStale)
{
    const struct {
        const char* fault;
        std::vector<Ask> asks;
        std::int64_t freeAt;
        Sent sent;
    } cases[] = {
        {"a frame waits although the worker is free", {{10, 1}}, 0, {"1@10"}},
        {"the sender's own pacing is stretched", {{0, 1}, {30, 2}}, 0, {"1@0", "2@30"}},
        {"frames held up lose their order or spacing (set-current, then the status query)", {{0, 1}, {100, 2}}, 150,
            {"1@150", "2@250"}},
        {"a frame held up as long as its wire time (2 ms a byte) still fits is dropped", {{0, 1}}, 248, {"1@248"}},
        {"a frame that could not end on the line in time goes out", {{0, 1}}, 249, {}},
        {"a stale frame goes out", {{0, 1}}, 251, {}},
        {"on then off, clicked during a stall, reach the laser late", {{0, 1}, {100, 1}, {600, 0}, {700, 0}}, 2000, {}},
        {"a frame asked a spacing after one that went out late follows it too closely", {{0, 1}, {100, 2}}, 97,
            {"1@97", "2@197"}},
        {"frames paced further apart than a spacing are held back by a late one", {{0, 1}, {200, 2}}, 97,
            {"1@97", "2@200"}},
        {"a fresh frame is held back by a stale one before it", {{0, 1}, {290, 2}}, 300, {"2@300"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Replay(c.asks, c.freeAt), c.sent) << c.fault;
}

TEST(WriteScheduler, AWorkerThatCannotWriteKeepsOnlyTheNewestFrames)
{
    WriteScheduler writes;
    for (std::uint8_t i = 0; i < 20; ++i)
        writes.Push(&i, 1, 0);
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(writes.TakeDue(0, frame));
    EXPECT_EQ(frame[0], 4);
    EXPECT_EQ(writes.Dropped(), 4u);
}

// Whoever handed a frame over learns of every one that never went out, whatever dropped it.
TEST(WriteScheduler, EveryDroppedFrameIsHandedBackOnceWithItsDeadline)
{
    WriteScheduler writes;
    const std::vector<std::uint8_t> on = {0xEF, 0xEF, 0x03, 0x26, 0x01, 0x08}, query = {0xEF, 0xEF, 0x02, 0x00, 0xE0};
    writes.Push(on.data(), on.size(), 0);
    writes.Push(query.data(), query.size(), 100);
    std::vector<std::uint8_t> frame;
    WriteScheduler::Ms finishBy = 0;
    ASSERT_TRUE(writes.TakeDue(300, frame, &finishBy));
    EXPECT_EQ(frame, query) << "the first is stale by then, the second still fits";
    EXPECT_EQ(finishBy, 350) << "the bound counts from the request to the end of the write";
    EXPECT_EQ(writes.TakeDropped(), (std::vector<std::vector<std::uint8_t>>{on})) << "dropped on the way";
    writes.Abandoned(frame);
    EXPECT_EQ(writes.TakeDropped(), (std::vector<std::vector<std::uint8_t>>{query}));
    EXPECT_TRUE(writes.TakeDropped().empty()) << "handed back twice";
    EXPECT_EQ(writes.Dropped(), 2u);

    // A write whose wire time alone passes the bound (512 bytes take 534 ms) can never be in time.
    const std::vector<std::uint8_t> longest(512, 0x55);
    writes.Push(longest.data(), longest.size(), 1000);
    EXPECT_FALSE(writes.TakeDue(1000, frame, &finishBy));
    EXPECT_EQ(writes.TakeDropped().size(), 1u);
}

// The worker takes the first frame when it is due and cannot write it: the line is held until
// cutAt, when it gives the write up. From then on it takes every due frame each millisecond.
// Returns "code@time" for each write, the code in hex, "filler@time" for the filler.
std::vector<std::string> ReplayCut(const std::vector<Ask>& asks, std::int64_t cutAt, std::int64_t end = 6000)
{
    WriteScheduler writes;
    std::vector<std::string> sent;
    WriteScheduler::Bytes frame, held, owed;
    WriteScheduler::Ms finishBy = 0;
    bool cut = false;
    for (std::int64_t t = 0; t <= end; ++t) {
        for (const Ask& a : asks) {
            if (a.at == t) {
                const proto::Frame query = proto::MakeQueryFrame(a.frame);
                writes.Push(query.data(), query.size, t);
            }
        }
        if (!held.empty() && t == cutAt) {
            owed = proto::AbandonedFrameFiller(held.data(), held.size());
            writes.Abandoned(std::move(held));
            held.clear();
            cut = true;
        }
        if (!held.empty())
            continue;
        while (writes.TakeDue(t, frame, &finishBy)) {
            const char* hex = "0123456789abcdef";
            const bool filler = finishBy == WriteScheduler::kNothingDue;
            sent.push_back((filler ? (frame == owed ? "filler" : "another filler")
                                   : std::string{hex[frame[3] >> 4], hex[frame[3] & 15]})
                + "@" + std::to_string(t));
            if (!cut) {
                held = frame;
                break;
            }
        }
    }
    return sent;
}

// Part of the abandoned frame may be on the line: a filler goes before any later frame, whenever
// that falls due, and takes nothing from the frames' own timing.
TEST(WriteScheduler, AfterAnAbandonedWriteAFillerGoesFirstAndFramesKeepTheirSpacing)
{
    const struct {
        const char* fault;
        std::vector<Ask> asks;
        Sent sent;
    } cases[] = {
        {"the next frame goes without the filler, or the filler counts as a frame for spacing",
            {{0, 0x00}, {200, 0x02}, {230, 0x25}}, {"00@0", "filler@250", "02@250", "25@280"}},
        {"a frame more than a spacing later is held back by the filler", {{0, 0x00}, {200, 0x02}, {400, 0x25}},
            {"00@0", "filler@250", "02@250", "25@400"}},
        {"the filler goes alone, or goes stale", {{0, 0x00}, {5000, 0x02}}, {"00@0", "filler@5000", "02@5000"}},
        {"a frame gone stale behind the abandoned one is sent, or takes the filler with it",
            {{0, 0x00}, {2, 0x02}, {600, 0x25}}, {"00@0", "filler@600", "25@600"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplayCut(c.asks, 250), c.sent) << c.fault;
}

// A filler refused whole never reached the line: it is owed again, and the frame behind it, which
// a refusing line would refuse too, is dropped and handed back.
TEST(WriteScheduler, ARefusedFillerIsOwedAgain)
{
    WriteScheduler writes;
    const proto::Frame on = proto::MakeByteFrame(proto::CMD_SET_OUTPUT, proto::kOutputOn);
    const proto::Frame query = proto::MakeQueryFrame(proto::CMD_QUERY_OUTPUT);
    const WriteScheduler::Bytes onBytes(on.bytes, on.bytes + on.size),
        queryBytes(query.bytes, query.bytes + query.size);
    const WriteScheduler::Bytes filler = proto::AbandonedFrameFiller(on.data(), on.size);
    WriteScheduler::Bytes frame;
    WriteScheduler::Ms finishBy = 0;
    writes.Push(on.data(), on.size, 0);
    ASSERT_TRUE(writes.TakeDue(0, frame, &finishBy));
    writes.Abandoned(frame);
    writes.Push(query.data(), query.size, 300);
    ASSERT_TRUE(writes.TakeDue(300, frame, &finishBy));
    EXPECT_EQ(frame, filler);
    writes.FillerRefused(frame);
    EXPECT_EQ(writes.TakeDropped(), (std::vector<WriteScheduler::Bytes>{onBytes, queryBytes}));
    writes.Push(query.data(), query.size, 400);
    ASSERT_TRUE(writes.TakeDue(400, frame, &finishBy));
    EXPECT_EQ(frame, filler) << "the next frame went without the filler";
    ASSERT_TRUE(writes.TakeDue(400, frame, &finishBy));
    EXPECT_EQ(frame, queryBytes);
}

}  // namespace
