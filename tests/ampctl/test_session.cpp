// The amplifier session over a fake line in virtual time: what it writes and when, what it
// accepts as confirmation, and what it refuses to send.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "ampctl/Session.h"

using namespace ampctl;

namespace {

const std::string kSettingsQuery = "EF EF 02 02 E2";
const std::string kOutputQuery = "EF EF 02 25 05";
const std::string kStatusQuery = "EF EF 02 00 E0";

std::string Hex(const std::uint8_t* bytes, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

std::string Hex(const proto::Frame& f)
{
    return Hex(f.bytes, f.size);
}

std::string At(std::int64_t t, const std::string& frame)
{
    return std::to_string(t) + ": " + frame;
}

constexpr std::int64_t kUs = 1000;  // microseconds a millisecond

class VirtualClock : public Clock {
public:
    std::int64_t NowUs() override { return now; }
    std::int64_t now = 0;  // microseconds
};

// An amplifier on the other end of a line whose bytes arrive at virtual times: each reply starts
// latencyMs after the frame it answers, one byte a millisecond. A write discards what has arrived
// unread, as the serial back ends do.
class FakeAmp : public ByteStream {
public:
    explicit FakeAmp(VirtualClock& clock) : m_clock(clock) {}

    bool answerSettings = true;
    bool answerOutput = true;
    bool answerStatus = true;
    bool echo = true;                // setting commands are answered with the value held
    int queriesAfterSetting = 1000;  // queries still answered once a setting has come
    int missStatus = -1;             // the status query of this number (from 0) goes unanswered
    int latencyMs = 20;
    std::uint16_t highestPowerRaw = 65535;  // the amplifier holds power setpoints to this
    proto::SettingsReply settings{10700, 1500, 6000, proto::kModeAcc, 1};
    std::uint8_t output = proto::kOutputOff;
    std::vector<std::string> log;  // "t: frame"
    std::function<void(const std::string&)> onWrite;

    bool Write(const std::uint8_t* bytes, std::size_t n) override
    {
        while (!m_pending.empty() && m_pending.front().t <= m_clock.now)
            m_pending.pop_front();
        const std::string hex = Hex(bytes, n);
        log.push_back(At(m_clock.now / kUs, hex));
        if (onWrite)
            onWrite(hex);
        Answer(bytes, n);
        return true;
    }

    int Read(std::uint8_t* into, std::size_t max, int timeoutMs) override
    {
        if (m_pending.empty() || m_pending.front().t > m_clock.now) {
            const std::int64_t wake = m_clock.now + timeoutMs * kUs;
            if (m_pending.empty() || m_pending.front().t > wake) {
                m_clock.now = wake;
                return 0;
            }
            m_clock.now = m_pending.front().t;
        }
        std::size_t n = 0;
        for (; n < max && !m_pending.empty() && m_pending.front().t <= m_clock.now; ++n) {
            into[n] = m_pending.front().value;
            m_pending.pop_front();
        }
        return static_cast<int>(n);
    }

private:
    struct Arriving {
        std::int64_t t;  // microseconds
        std::uint8_t value;
    };

    void Reply(const proto::ReplyBytes& frame)
    {
        std::int64_t t = m_clock.now + latencyMs * kUs;
        for (std::uint8_t b : frame) {
            m_pending.push_back({t, b});
            t += kUs;
        }
    }

    bool AnswersQuery() { return !m_settingSeen || queriesAfterSetting-- > 0; }

    // A setting has come: the value held goes back when the amplifier echoes.
    void Echo(const proto::ReplyBytes& reply)
    {
        m_settingSeen = true;
        if (echo)
            Reply(reply);
    }

    void Answer(const std::uint8_t* f, std::size_t n)
    {
        const std::uint16_t word = n == 7 ? static_cast<std::uint16_t>(f[4] * 256 + f[5]) : 0;
        switch (f[3]) {
        case proto::CMD_QUERY_SETTINGS:
            if (answerSettings && AnswersQuery())
                Reply(proto::EncodeReply(settings));
            break;
        case proto::CMD_QUERY_OUTPUT:
            if (answerOutput && AnswersQuery())
                Reply(proto::EncodeReply(proto::OutputReply{output}));
            break;
        case proto::CMD_QUERY_STATUS:
            if (answerStatus && m_statusQueries++ != missStatus)
                Reply(proto::EncodeReply(proto::StatusReply{settings.targetCurrentMa, 7000, 10339, 2800}));
            break;
        case proto::CMD_SET_CURRENT:
            settings.targetCurrentMa = word;
            Echo(proto::EncodeReply(proto::TargetCurrentReply{word}));
            break;
        case proto::CMD_SET_POWER:
            settings.targetPowerRaw = std::min(word, highestPowerRaw);
            Echo(proto::EncodeReply(proto::TargetPowerReply{settings.targetPowerRaw}));
            break;
        case proto::CMD_SET_MODE:
            settings.mode = f[4];
            Echo(proto::EncodeReply(proto::ModeReply{f[4]}));
            break;
        case proto::CMD_SET_OUTPUT:
            output = f[4];
            Echo(proto::EncodeReply(proto::OutputReply{f[4]}));
            break;
        default:
            break;
        }
    }

    VirtualClock& m_clock;
    std::deque<Arriving> m_pending;
    bool m_settingSeen = false;
    int m_statusQueries = 0;
};

class SessionTest : public ::testing::Test {
protected:
    VirtualClock clock;
    FakeAmp amp{clock};
    std::atomic<bool> stop{false};
    Session session{amp, clock, stop, 1000};
};

enum class Action { kCurrent, kPower, kMode, kOutput };

SettingResult Apply(Session& session, Action action, const char* value)
{
    switch (action) {
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
    EXPECT_EQ(amp.log.size(), 4u) << "a wrong echo is final: nothing read back";

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
