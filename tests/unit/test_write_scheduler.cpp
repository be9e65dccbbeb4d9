// The write rule on its own clock: when each frame goes out, and which are never sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    EXPECT_TRUE(writes.TakeDue(300, frame, &finishBy)) << "the query is still fresh";
    EXPECT_EQ(writes.TakeDropped(), (std::vector<std::vector<std::uint8_t>>{on})) << "dropped on the way";
    EXPECT_EQ(frame, query);
    EXPECT_EQ(finishBy, 350) << "the bound counts from the request to the end of the write";
    writes.Abandoned(frame);
    EXPECT_EQ(writes.TakeDropped(), (std::vector<std::vector<std::uint8_t>>{query}));
    EXPECT_TRUE(writes.TakeDropped().empty()) << "handed back twice";
    EXPECT_EQ(writes.Dropped(), 2u);
}

}  // namespace
