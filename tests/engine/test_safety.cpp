// The line owner keeps the laser safe in the races a server meets: latched means off whatever
// happens to the guard's OFF, nothing goes out late or for a client that has gone, an OFF goes
// before the busy, and what ampd did not do is still followed. On a virtual clock against the
// fake amplifier; asserted on the frames on the wire, their times, and what the clients hear.
#include "tests/engine/OwnerHarness.h"

using namespace ownertest;

namespace {

// The settings' frames on the wire (queries left out), as "t: frame".
std::vector<std::string> SettingFrames(const FakeAmp& amp, std::int64_t fromMs = 0)
{
    std::vector<std::string> out;
    for (const std::string& line : amp.log)
        if (!IsQuery(line) && TimeOf(line) >= fromMs)
            out.push_back(line);
    return out;
}

std::int64_t FirstTimeOf(const FakeAmp& amp, const std::string& frame, std::int64_t fromMs = 0)
{
    for (const std::string& line : amp.log)
        if (FrameOf(line) == frame && TimeOf(line) >= fromMs)
            return TimeOf(line);
    return -1;
}

const std::string kCurrent1234 = Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1234));

// One line owner's run of a table's case.
struct Rig : LineOwnerTest {
    void TestBody() override {}
};

// Latched means off: the guard's OFF goes again until confirmed, and whenever the output is found on.
TEST_F(LineOwnerTest, WhileLatchedTheOutputIsSwitchedOffWheneverItIsFoundOn)
{
    struct Case {
        const char* what;
        std::function<void(Rig&)> arrange;
        std::int64_t offAfterMs;  // an OFF is on the wire at or after this
    };
    const auto lose = [](Rig& t) { t.amp.Schedule(1000, [&t] { t.amp.inputRaw = 7000 - 4000; }); };
    const Case cases[] = {
        {"the first OFF neither echoed nor taken",
            [&](Rig& t) {
                lose(t);
                t.amp.Schedule(1000, [&t] { t.amp.echo = t.amp.applies = false; });
                t.amp.Schedule(2500, [&t] { t.amp.echo = t.amp.applies = true; });
            },
            2500},
        {"the amplifier's own keys switch it on after the OFF",
            [&](Rig& t) {
                lose(t);
                t.amp.Schedule(3000, [&t] { t.amp.output = proto::kOutputOn; });
            },
            3000},
        {"a latch found set, the output on at link-up",
            [](Rig& t) { t.shared.Latch(Alarm{"MAX-TEMP", 50, {}}); }, 0},
        {"the link lost, the output switched on meanwhile, the link back",
            [](Rig& t) {
                t.shared.Latch(Alarm{"MAX-TEMP", 50, {}});
                t.amp.output = proto::kOutputOff;
                t.amp.Schedule(1000, [&t] { t.amp.answerSettings = t.amp.answerOutput = t.amp.answerStatus = false; });
                t.amp.Schedule(2000, [&t] { t.amp.output = proto::kOutputOn; });
                t.amp.Schedule(3500, [&t] { t.amp.answerSettings = t.amp.answerOutput = t.amp.answerStatus = true; });
            },
            3500},
    };
    GuardLimits limits;
    limits.minInputDbm = -30;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig t;
        t.amp.output = proto::kOutputOn;
        c.arrange(t);
        t.RunUntil(6000, limits);
        EXPECT_EQ(t.amp.output, proto::kOutputOff);
        EXPECT_GE(FirstTimeOf(t.amp, kOutputOff, c.offAfterMs), c.offAfterMs);
        for (const std::string& line : SettingFrames(t.amp))
            EXPECT_EQ(FrameOf(line), kOutputOff) << "the guard sends OFF and nothing else";
    }
}

// The panel's ON waiting behind a script's setting when an alarm latches never reaches the line.
TEST_F(PanelLinkTest, APanelOnQueuedBeforeALatchNeverGoes)
{
    Client& script = NewClient();
    Say(script, 1000, "SOUR:CURR 1234");
    PanelSetting(1010, proto::MakeByteFrame(proto::CMD_SET_OUTPUT, proto::kOutputOn));
    amp.Schedule(1150, [this] { shared.Latch(Alarm{"MIN-INPUT", -40, {}}); });
    RunWithPanel(3000);
    for (const std::string& line : amp.log)
        EXPECT_NE(FrameOf(line), kOutputOn) << line;
    EXPECT_NE(std::find(sink.done_.begin(), sink.done_.end(), "OUTP ON: 4"), sink.done_.end());
    EXPECT_EQ(amp.output, proto::kOutputOff);
}

// A panel that floods its line with queries holds nothing up: one of each kind waits, and the
// guard's OFF goes at the next slot.
TEST_F(PanelLinkTest, AFloodOfPanelQueriesDoesNotHoldUpTheGuard)
{
    amp.output = proto::kOutputOn;
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < 100; ++i)
        for (const std::uint8_t b : Bytes(proto::MakeQueryFrame(proto::CMD_QUERY_STATUS)))
            flood.push_back(b);
    PanelSends(1000, flood);
    amp.Schedule(1010, [this] { shared.Latch(Alarm{"MAX-TEMP", 50, {}}); });
    RunWithPanel(3000);
    const std::int64_t off = FirstTimeOf(amp, kOutputOff);
    ASSERT_GE(off, 1010);
    EXPECT_LE(off, 1010 + proto::kFrameSpacingMs) << "within a spacing of the latch";
    EXPECT_LT(std::count_if(amp.log.begin(), amp.log.end(),
                  [](const std::string& line) {
                      return TimeOf(line) >= 1000 && TimeOf(line) < 2000 && FrameOf(line) == kStatusQuery;
                  }),
        5)
        << "the flood is not passed on";
}

// A client's settings not yet on the wire are withdrawn when it goes; the one on the wire finishes.
TEST_F(LineOwnerTest, AClientThatGoesTakesItsWaitingSettingsWithIt)
{
    Client& script = NewClient();
    Say(script, 1000, "SOUR:CURR 1001;CURR 1002;CURR 1003;CURR 1004");
    amp.Schedule(1050, [this] { queue.Withdraw(1); });
    RunUntil(4000);
    const std::vector<std::string> settings = SettingFrames(amp);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(FrameOf(settings[0]), Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1001)));
    EXPECT_EQ(sink.done_, (std::vector<std::string>{
                              "SOUR:CURR 1002: 6", "SOUR:CURR 1003: 6", "SOUR:CURR 1004: 6", "SOUR:CURR 1001: 0"}));
}

// An OFF from anyone with control goes ahead of every other client's settings.
TEST_F(LineOwnerTest, AnOffGoesAheadOfBusyClients)
{
    amp.output = proto::kOutputOn;
    for (int i = 0; i < 32; ++i)
        Say(NewClient(), 1000, "SOUR:CURR 1100;CURR 1200;CURR 1300");
    Client& interlock = NewClient();
    Say(interlock, 1050, "OUTP OFF;*OPC?;:SYST:ERR?");
    RunUntil(4000);
    const std::vector<std::string> settings = SettingFrames(amp);
    ASSERT_GE(settings.size(), 4u);
    EXPECT_EQ(FrameOf(settings[2]), kOutputOff) << "right behind the setting on the wire";
    EXPECT_EQ(interlock.answers, (std::vector<std::string>{"1", "0,\"No error\""}));
    EXPECT_EQ(amp.output, proto::kOutputOff);
}

// A setting not started within its age fails with an error of its own and never goes out; one
// client keeps at most eight settings pending.
TEST_F(LineOwnerTest, ASettingNotStartedInTimeNeverGoes)
{
    std::vector<Client*> busy;
    for (int i = 0; i < 6; ++i) {
        busy.push_back(&NewClient());
        Say(*busy.back(), 1000, "SOUR:CURR " + std::to_string(1100 + i) + ";CURR 1" + std::to_string(i) + "99;*OPC?");
    }
    Client& greedy = NewClient();
    Say(greedy, 4000, "SOUR:CURR 1;CURR 2;CURR 3;CURR 4;CURR 5;CURR 6;CURR 7;CURR 8;CURR 9;*OPC?");
    RunUntil(9000);
    // Every error a client has queued, read until none is left.
    const auto errors = [](Client& client, const std::string& which) {
        int n = 0;
        do {
            client.Line(9000, "SYST:ERR?");
            n += client.answers.back() == which ? 1 : 0;
        } while (client.answers.back() != "0,\"No error\"");
        return n;
    };
    int late = 0;
    for (Client* client : busy) {
        ASSERT_EQ(client->answers, (std::vector<std::string>{"1"}));
        late += errors(*client, "+212,\"Not sent in time\"");
    }
    EXPECT_GT(late, 0);
    for (const std::string& line : SettingFrames(amp, 1000)) {
        if (TimeOf(line) < 4000) {
            EXPECT_LE(TimeOf(line), 1000 + 1500 + proto::kFrameSpacingMs) << "began in time: " << line;
        }
    }
    EXPECT_EQ(greedy.answers, (std::vector<std::string>{"1"}));
    EXPECT_EQ(errors(greedy, "+213,\"Too many settings pending\""), 1) << "the ninth";
}

// ampd follows the output it did not switch: the amplifier's own keys show within a second or so.
TEST_F(LineOwnerTest, AnOutputChangeAmpdDidNotMakeIsFollowed)
{
    Client& reader = NewClient();
    amp.Schedule(2000, [this] { amp.output = proto::kOutputOn; });
    Say(reader, 1900, "OUTP?");
    Say(reader, 3300, "OUTP?");
    RunUntil(4000);
    EXPECT_EQ(reader.answers, (std::vector<std::string>{"0", "1"}));
    const auto asked = std::count_if(amp.log.begin(), amp.log.end(),
        [](const std::string& line) { return TimeOf(line) >= 1000 && FrameOf(line) == kOutputQuery; });
    EXPECT_GE(asked, 2) << "at least once a second";
    EXPECT_LE(asked, 4);
}

// A reading that wanders about the limit, broken every other poll, still trips: two of three.
TEST_F(LineOwnerTest, AReadingWanderingAboutTheLimitTrips)
{
    GuardLimits limits;
    limits.maxTempC = 45;
    amp.output = proto::kOutputOn;
    bool hot = false;
    amp.onWrite = [&](const std::string& frame) {
        if (frame == kStatusQuery && clock.now >= 1000 * kUs) {
            hot = !hot;
            amp.temperatureRaw = hot ? 4600 : 4400;
        }
    };
    RunUntil(3000, limits);
    EXPECT_EQ(amp.output, proto::kOutputOff);
    EXPECT_EQ(shared.View().alarms.size(), 1u);
}

// What was waiting while the link was being checked fails before the link is said to be up, so
// that nothing asked once LINK? reads UP can fail for the link being down.
TEST_F(LineOwnerTest, WhatWaitedDuringTheLinkCheckFailsBeforeItIsUp)
{
    std::optional<bool> upWhenFailed;
    amp.Schedule(50, [this, &upWhenFailed] {
        engine::SettingRequest request;
        request.client = 1;
        request.kind = proto::SettingKind::kCurrent;
        request.entry = "1234";
        request.command = "SOUR:CURR 1234";
        request.done = [this, &upWhenFailed](const SettingDone& done) {
            EXPECT_EQ(done.fate, Fate::kLinkDown);
            upWhenFailed = shared.View().linkUp;
        };
        queue.Push(std::move(request));
    });
    RunUntil(1000);
    EXPECT_EQ(upWhenFailed, std::optional<bool>(false));
    EXPECT_EQ(FirstTimeOf(amp, kCurrent1234), -1);
}

}  // namespace
