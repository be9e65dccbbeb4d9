// The reply framer, byte by byte: hunting, LEN bounds, checksum, split and merged frames.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"

using proto::RxFramer;

namespace {

const std::vector<std::uint8_t> kStatus
    = {0xED, 0xFA, 0x0E, 0x00, 0x00, 0x00, 0x05, 0xDC, 0x1B, 0x58, 0x1F, 0x40, 0x00, 0x00, 0x09, 0xC4, 0x75};
const std::vector<std::uint8_t> kOutputOn = {0xED, 0xFA, 0x03, 0x25, 0x01, 0x10};

// Feeds bytes one at a time; returns the positions (0-based) after which a frame completed.
std::vector<int> Feed(RxFramer& f, const std::vector<std::uint8_t>& bytes)
{
    std::vector<int> completed;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (f.Push(bytes[i]))
            completed.push_back(static_cast<int>(i));
    return completed;
}

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(RxFramer, StatusFrameCarriesTheFourReadings)
{
    RxFramer f;
    EXPECT_EQ(Feed(f, kStatus), std::vector<int>{16});
    EXPECT_EQ(f.Type(), proto::REPLY_STATUS);
    EXPECT_EQ(f.Word(6), 1500);
    EXPECT_EQ(f.Word(8), 7000);
    EXPECT_EQ(f.Word(10), 8000);
    EXPECT_EQ(f.Word(14), 2500);
    EXPECT_EQ(f.Index(), 0);
}

TEST(RxFramer, RecognitionAcrossStreams)
{
    auto badChecksum = kStatus;
    badChecksum.back() ^= 0x01;
    const struct {
        const char* what;
        std::vector<std::uint8_t> stream;
        std::vector<int> completed;
    } cases[] = {
        {"two frames back to back", Join({kStatus, kOutputOn}), {16, 22}},
        {"noise before a frame", Join({{0x00, 0xFA, 0x13, 0xEF}, kOutputOn}), {9}},
        {"bad checksum dropped, next frame kept", Join({badChecksum, kOutputOn}), {22}},
        // The second ED fails the FA test and is not looked at again as a header.
        {"ED ED FA loses the frame", {0xED, 0xED, 0xFA, 0x03, 0x25, 0x01, 0x10}, {}},
        {"ED ED FA, then a clean frame", Join({{0xED, 0xED, 0xFA, 0x03, 0x25, 0x01, 0x10}, kOutputOn}), {12}},
        {"LEN 0 abandoned", Join({{0xED, 0xFA, 0x00}, kOutputOn}), {8}},
        {"LEN 1 abandoned", Join({{0xED, 0xFA, 0x01}, kOutputOn}), {8}},
        {"LEN 98 abandoned", Join({{0xED, 0xFA, 0x62}, kOutputOn}), {8}},
        {"LEN 255 abandoned", Join({{0xED, 0xFA, 0xFF}, kOutputOn}), {8}},
        {"LEN 2: type and checksum only", {0xED, 0xFA, 0x02, 0x42, 0x2B}, {4}},
    };
    for (const auto& c : cases) {
        RxFramer f;
        EXPECT_EQ(Feed(f, c.stream), c.completed) << c.what;
    }
}

TEST(RxFramer, LongestFrameOfLen97)
{
    std::vector<std::uint8_t> frame = {0xED, 0xFA, 97, 0x55};
    frame.resize(99, 0x11);
    frame.push_back(proto::FrameChecksum(frame.data(), frame.size()));
    RxFramer f;
    EXPECT_EQ(Feed(f, frame), std::vector<int>{99});
}

TEST(RxFramer, FrameSplitAcrossDeliveriesCompletesLater)
{
    // No timeout: an incomplete frame is completed by whatever comes next.
    RxFramer f;
    EXPECT_TRUE(Feed(f, {kStatus.begin(), kStatus.begin() + 7}).empty());
    EXPECT_EQ(f.Index(), 7);
    EXPECT_EQ(Feed(f, {kStatus.begin() + 7, kStatus.end()}), std::vector<int>{9});
}

TEST(RxFramer, ShortSettingsFrameReadsStalePositions)
{
    // A full settings reply leaves max current 1000 at positions 12-13 and selector 2 at 17.
    std::vector<std::uint8_t> full
        = {0xED, 0xFA, 0x10, 0x02, 0x1B, 0x58, 0, 0, 0x01, 0xF4, 0, 0, 0x03, 0xE8, 0, 0, 0x01, 0x02};
    full.push_back(proto::FrameChecksum(full.data(), full.size()));
    // A short one (LEN 8) carries only power and current; its checksum sits at position 10.
    std::vector<std::uint8_t> shortFrame = {0xED, 0xFA, 0x08, 0x02, 0x1C, 0x20, 0, 0, 0x00, 0x64};
    shortFrame.push_back(proto::FrameChecksum(shortFrame.data(), shortFrame.size()));

    RxFramer f;
    ASSERT_EQ(Feed(f, full).size(), 1u);
    ASSERT_EQ(Feed(f, shortFrame).size(), 1u);
    EXPECT_EQ(f.Word(4), 0x1C20);
    EXPECT_EQ(f.Word(8), 100);
    EXPECT_EQ(f.Word(12), 1000);  // left by the earlier frame
    EXPECT_EQ(f.Byte(16), 1);
    EXPECT_EQ(f.Byte(17), 2);
}

}  // namespace
