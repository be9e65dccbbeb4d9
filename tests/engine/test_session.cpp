// The amplifier session over a fake line in virtual time: what it writes and when, what it
// accepts as confirmation, and what it refuses to send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/Session.h"
#include "tests/engine/FakeAmp.h"

using namespace engine;
using namespace fakeline;

namespace {

class SessionTest : public ::testing::Test {
protected:
    VirtualClock clock;
    FakeAmp amp{clock};
    std::atomic<bool> stop{false};
    Session session{amp, clock, stop, 1000};
};

enum class Action { kCurrent, kPower, kMode, kOutput, kStatus };

SettingResult Apply(Session& session, Action action, const char* value)
{
    SettingResult status;
    proto::StatusReply reading;
    switch (action) {
    case Action::kStatus:
        status.outcome = session.CheckLink();
        if (status.outcome == Outcome::kDone)
            status.outcome = session.ReadStatus(reading);
        return status;
    case Action::kCurrent:
        return session.SetCurrent(value);
    case Action::kPower:
        return session.SetPower(value);
    case Action::kMode:
        return session.SetMode(static_cast<std::uint8_t>(value[0] - '0'));
    default:
        return session.SetOutput(static_cast<std::uint8_t>(value[0] - '0'));
    }
}

TEST_F(SessionTest, StatusFollowsTheLinkCheckOneFrameSpacingApart)
{
    proto::StatusReply status;
    ASSERT_EQ(session.CheckLink(), Outcome::kDone);
    ASSERT_EQ(session.ReadStatus(status), Outcome::kDone);
    EXPECT_EQ(amp.log, (std::vector<std::string>{At(0, kSettingsQuery), At(100, kOutputQuery), At(200, kStatusQuery)}));
    EXPECT_EQ(status.outputPowerRaw, 10339);
    EXPECT_EQ(session.Amp().settings.maxCurrentMa, 6000);
    EXPECT_EQ(session.Amp().output, proto::kOutputOff);
    EXPECT_EQ(clock.now, 236 * kUs) << "done as soon as the reply's last byte is in (17 bytes from 220)";
}

TEST_F(SessionTest, NoSettingGoesToALineThatHasNotAnsweredTheLinkCheck)
{
    const struct {
        const char* what;
        bool settings;
        bool output;
    } lines[] = {{"silent", false, false}, {"no settings reply", false, true}, {"no output reply", true, false}};
    for (const auto& line : lines) {
        for (Action action : {Action::kCurrent, Action::kPower, Action::kMode, Action::kOutput}) {
            SCOPED_TRACE(line.what);
            VirtualClock c;
            FakeAmp a(c);
            a.answerSettings = line.settings;
            a.answerOutput = line.output;
            Session s(a, c, stop, 1000);
            EXPECT_EQ(Apply(s, action, "1").outcome, Outcome::kNoAnswer);
            // Probed as the panel probes, every 500 ms, until the timeout.
            EXPECT_EQ(a.log,
                (std::vector<std::string>{
                    At(0, kSettingsQuery), At(100, kOutputQuery), At(500, kSettingsQuery), At(600, kOutputQuery)}));
            EXPECT_EQ(c.now, 1000 * kUs);
        }
    }
}

TEST_F(SessionTest, SettingsGoTwiceAndAreConfirmed)
{
    const std::string current1200 = Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1200));
    const struct {
        const char* what;
        Action action;
        bool echo;
        const char* value;
        std::string frame;     // sent at 200 and 300
        std::string readBack;  // the query sent at 400, if any
        std::int32_t sent;
        Confirmation by;
    } cases[] = {
        {"current", Action::kCurrent, true, "1200", current1200, "", 1200, Confirmation::kEcho},
        {"current truncated as the panel does", Action::kCurrent, true, "1200.9", current1200, "", 1200,
            Confirmation::kEcho},
        {"current above the maximum", Action::kCurrent, true, "9000",
            Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 6000)), "", 6000, Confirmation::kEcho},
        {"current below 0", Action::kCurrent, true, "-5", Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 0)), "", 0,
            Confirmation::kEcho},
        {"power", Action::kPower, true, "20.5", "EF EF 04 04 23 5A 63", "", 9050, Confirmation::kEcho},
        {"lowest power", Action::kPower, true, "-70", "EF EF 04 04 00 00 E6", "", 0, Confirmation::kEcho},
        {"highest power", Action::kPower, true, "585.35", "EF EF 04 04 FF FF E4", "", 65535, Confirmation::kEcho},
        {"mode APC", Action::kMode, true, "0", "EF EF 03 06 00 E7", "", 0, Confirmation::kEcho},
        {"output on", Action::kOutput, true, "1", "EF EF 03 26 01 08", "", 1, Confirmation::kEcho},
        {"current read back", Action::kCurrent, false, "1200", current1200, kSettingsQuery, 1200,
            Confirmation::kReadBack},
        {"power read back", Action::kPower, false, "20.5", "EF EF 04 04 23 5A 63", kSettingsQuery, 9050,
            Confirmation::kReadBack},
        {"mode read back", Action::kMode, false, "1", "EF EF 03 06 01 E8", kSettingsQuery, 1, Confirmation::kReadBack},
        {"output read back", Action::kOutput, false, "0", "EF EF 03 26 00 07", kOutputQuery, 0,
            Confirmation::kReadBack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock vc;
        FakeAmp a(vc);
        a.echo = c.echo;
        Session s(a, vc, stop, 1000);
        const SettingResult result = Apply(s, c.action, c.value);
        EXPECT_EQ(result.outcome, Outcome::kDone);
        EXPECT_EQ(result.sent, c.sent);
        if (c.action == Action::kCurrent) {
            EXPECT_EQ(result.requested, std::atoi(c.value)) << "the value asked for, kept for the clamp's report";
        }
        EXPECT_EQ(result.confirmedBy, c.by);
        std::vector<std::string> expected
            = {At(0, kSettingsQuery), At(100, kOutputQuery), At(200, c.frame), At(300, c.frame)};
        if (!c.readBack.empty())
            expected.push_back(At(400, c.readBack));
        EXPECT_EQ(a.log, expected);
    }
}

TEST_F(SessionTest, SettingNotConfirmedWhenTheAmplifierHoldsAnotherValueOrStaysSilent)
{
    amp.highestPowerRaw = 11000;  // 40.00 dBm
    SettingResult held = session.SetPower("50");
    EXPECT_EQ(held.outcome, Outcome::kNotConfirmed);
    EXPECT_EQ(held.held, 11000);
    EXPECT_EQ(amp.log.size(), 5u) << "an echo of another value is checked by reading back";

    VirtualClock vc;
    FakeAmp silent(vc);
    silent.echo = false;
    silent.queriesAfterSetting = 0;
    Session s(silent, vc, stop, 1000);
    const SettingResult unanswered = s.SetMode(proto::kModeApc);
    EXPECT_EQ(unanswered.outcome, Outcome::kNotConfirmed);
    EXPECT_FALSE(unanswered.held.has_value());
    EXPECT_EQ(silent.log.back(), At(400, kSettingsQuery));
    EXPECT_EQ(vc.now, 1400 * kUs) << "the read-back is waited for up to the timeout";
}

TEST_F(SessionTest, ShortLateRepeatedAndEarlierRepliesNeitherConfirmNorHang)
{
    const std::string current0 = Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 0));
    const std::string current1000 = Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1000));
    const std::string current1200 = Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1200));
    const std::string modeApc = Hex(proto::MakeByteFrame(proto::CMD_SET_MODE, proto::kModeApc));
    const std::string outputOn = Hex(proto::MakeByteFrame(proto::CMD_SET_OUTPUT, proto::kOutputOn));
    const std::vector<std::string> linkCheck = {At(0, kSettingsQuery), At(100, kOutputQuery)};
    const auto linked = [&](std::vector<std::string> after) {
        after.insert(after.begin(), linkCheck.begin(), linkCheck.end());
        return after;
    };
    constexpr std::size_t kAllData = 99;
    const struct {
        const char* what;
        std::function<void(FakeAmp&)> setUp;
        const char* earlier;  // a current set first in the same session, or null
        Action action;
        const char* value;
        Outcome outcome;
        Confirmation by;
        std::optional<std::int32_t> held;
        std::vector<std::string> log;
        std::int64_t endMs;
    } cases[] = {
        // The link check's replies leave 0 where a short current echo's field would be.
        {"short echoes from an amplifier that keeps its setting",
            [](FakeAmp& a) {
                a.applies = false;
                a.cutEchoes = kAllData;
            },
            nullptr, Action::kCurrent, "0", Outcome::kNotConfirmed, Confirmation::kNone, 1500,
            linked({At(200, current0), At(300, current0), At(400, kSettingsQuery)}), 438},
        {"echoes one byte short", [](FakeAmp& a) { a.cutEchoes = 1; }, nullptr, Action::kCurrent, "1200",
            Outcome::kDone, Confirmation::kReadBack, std::nullopt,
            linked({At(200, current1200), At(300, current1200), At(400, kSettingsQuery)}), 438},
        {"no echo and a short read-back",
            [](FakeAmp& a) {
                a.echo = false;
                a.troubleFromQuery = 2;
                a.cutAnswers = kAllData;
            },
            nullptr, Action::kMode, "0", Outcome::kNotConfirmed, Confirmation::kNone, std::nullopt,
            linked({At(200, modeApc), At(300, modeApc), At(400, kSettingsQuery)}), 1400},
        {"short answers to the link check", [](FakeAmp& a) { a.cutAnswers = 1; }, nullptr, Action::kOutput, "1",
            Outcome::kNoAnswer, Confirmation::kNone, std::nullopt,
            {At(0, kSettingsQuery), At(100, kOutputQuery), At(500, kSettingsQuery), At(600, kOutputQuery)}, 1000},
        {"a short status reply",
            [](FakeAmp& a) {
                a.troubleFromQuery = 2;
                a.cutAnswers = 1;
            },
            nullptr, Action::kStatus, "", Outcome::kNoAnswer, Confirmation::kNone, std::nullopt,
            linked({At(200, kStatusQuery)}), 1200},
        {"echoes that come after the read-back", [](FakeAmp& a) { a.echoDelayMs = 1500; }, nullptr, Action::kCurrent,
            "1200", Outcome::kDone, Confirmation::kReadBack, std::nullopt,
            linked({At(200, current1200), At(300, current1200), At(400, kSettingsQuery)}), 438},
        {"no echo and a read-back answered after the timeout",
            [](FakeAmp& a) {
                a.echo = false;
                a.troubleFromQuery = 2;
                a.answerDelayMs = 1500;
            },
            nullptr, Action::kOutput, "1", Outcome::kNotConfirmed, Confirmation::kNone, std::nullopt,
            linked({At(200, outputOn), At(300, outputOn), At(400, kOutputQuery)}), 1400},
        {"a status reply after the timeout",
            [](FakeAmp& a) {
                a.troubleFromQuery = 2;
                a.answerDelayMs = 1500;
            },
            nullptr, Action::kStatus, "", Outcome::kNoAnswer, Confirmation::kNone, std::nullopt,
            linked({At(200, kStatusQuery)}), 1200},
        {"every reply twice", [](FakeAmp& a) { a.twice = true; }, nullptr, Action::kCurrent, "1200", Outcome::kDone,
            Confirmation::kEcho, std::nullopt, linked({At(200, current1200), At(300, current1200)}), 328},
        {"each echo answers the frame before (the first, the value held before)",
            [](FakeAmp& a) { a.echoesLag = true; }, nullptr, Action::kCurrent, "1200", Outcome::kDone,
            Confirmation::kEcho, std::nullopt, linked({At(200, current1200), At(300, current1200)}), 328},
        // The first setting's echoes, 350 ms late, come while the second's are awaited.
        {"the echoes of the setting before", [](FakeAmp& a) { a.echoDelayMs = 350; }, "1000", Action::kCurrent, "1200",
            Outcome::kDone, Confirmation::kReadBack, std::nullopt,
            linked({At(200, current1000), At(300, current1000), At(400, kSettingsQuery), At(500, current1200),
                At(600, current1200), At(700, kSettingsQuery)}),
            738},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock vc;
        FakeAmp a(vc);
        c.setUp(a);
        Session s(a, vc, stop, 1000);
        if (c.earlier) {
            ASSERT_EQ(s.SetCurrent(c.earlier).outcome, Outcome::kDone);
        }
        const SettingResult result = Apply(s, c.action, c.value);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.confirmedBy, c.by);
        EXPECT_EQ(result.held, c.held);
        EXPECT_EQ(a.log, c.log);
        EXPECT_EQ(vc.now, c.endMs * kUs) << "done when the last awaited byte is in, or at the timeout";
    }
}

TEST_F(SessionTest, PowerOffTheRawScaleAndCurrentBeyond32BitsAreRefusedBeforeAnythingIsSent)
{
    for (const char* entry : {"-70.01", "585.36", "-1e9", "1e400", "70000"})
        EXPECT_EQ(session.SetPower(entry).outcome, Outcome::kRefused) << entry;
    for (const char* entry : {"2147483648", "-2147483649", "1e30"})
        EXPECT_EQ(session.SetCurrent(entry).outcome, Outcome::kRefused) << entry;
    EXPECT_TRUE(amp.log.empty());
}

TEST_F(SessionTest, WatchSendsStatusQueriesOnAFixedCadenceAndSkipsUnansweredReadings)
{
    amp.latencyMs = 60;
    amp.missStatus = 2;
    std::vector<std::int64_t> readings;
    int missed = 0;
    const WatchResult result = session.Watch(
        200, 5,
        [&](const proto::StatusReply&) {
            readings.push_back(clock.now / kUs);
            return true;
        },
        [&] { ++missed; });
    EXPECT_EQ(result.outcome, Outcome::kDone);
    EXPECT_EQ(result.answered, 4);
    EXPECT_EQ(missed, 1);
    EXPECT_EQ(amp.log,
        (std::vector<std::string>{At(0, kStatusQuery), At(200, kStatusQuery), At(400, kStatusQuery),
            At(600, kStatusQuery), At(800, kStatusQuery)}));
    EXPECT_EQ(readings, (std::vector<std::int64_t>{76, 276, 676, 876}));
}

TEST_F(SessionTest, StopRequestSendsNothingMore)
{
    amp.onWrite = [&](const std::string& frame) { stop = frame.rfind("EF EF 04 0D", 0) == 0; };
    EXPECT_EQ(session.SetCurrent("1200").outcome, Outcome::kInterrupted);
    EXPECT_EQ(amp.log.size(), 3u) << "the second frame of the setting is not sent";

    VirtualClock vc;
    FakeAmp a(vc);
    std::atomic<bool> stopWatch{false};
    Session s(a, vc, stopWatch, 1000);
    int readings = 0;
    const WatchResult result = s.Watch(
        200, 0,
        [&](const proto::StatusReply&) {
            stopWatch = ++readings == 3;
            return true;
        },
        [] {});
    EXPECT_EQ(result.outcome, Outcome::kInterrupted);
    EXPECT_EQ(a.log.size(), 3u);
}

}  // namespace
