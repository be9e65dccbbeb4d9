// The server's line on a virtual clock: a fake amplifier, the line engine's owner driven as ampd
// drives it, clients' commands through ScpiClient. Asserted on the frames written and their
// virtual times.
#include "tests/engine/OwnerHarness.h"

using namespace ownertest;

namespace {

TEST_F(LineOwnerTest, LinkCheckThenPollEvery200ms)
{
    RunUntil(1000);
    const std::vector<std::string> sent = Sent(0);
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 5),
        (std::vector<std::string>{At(0, kSettingsQuery), At(100, kOutputQuery), At(200, kStatusQuery),
            At(400, kStatusQuery), At(600, kStatusQuery)}));
    EXPECT_EQ(sink.links, (std::vector<bool>{true})) << "a stop is no link lost";
}

// Several clients at once: every two frames on the wire are at least a spacing apart, the two
// frames of a setting are never split, clients take turns by whole settings, and each is confirmed.
TEST_F(LineOwnerTest, SettingsFromSeveralClientsTakeTurnsAndKeepTheSpacing)
{
    Client& a = NewClient();
    Client& b = NewClient();
    Client& c = NewClient();
    Say(a, 1000, "SOUR:CURR 1001;CURR 1002;*OPC?");
    // A third asked by then would not start within the age a setting may wait: it is asked later.
    Say(a, 2000, "SOUR:CURR 1003;*OPC?");
    Say(b, 1000, "SOUR:CURR 2001;*OPC?");
    Say(c, 1001, "OUTP ON;*OPC?");
    RunUntil(5000);

    const std::vector<std::string> sent = Sent(1000);
    for (std::size_t i = 1; i < amp.log.size(); ++i)
        EXPECT_GE(TimeOf(amp.log[i]) - TimeOf(amp.log[i - 1]), 100) << amp.log[i];
    std::vector<std::string> settings;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (IsQuery(sent[i]))
            continue;
        settings.push_back(FrameOf(sent[i]));
        ASSERT_LT(i + 1, sent.size());
        EXPECT_EQ(FrameOf(sent[i + 1]), FrameOf(sent[i])) << "a setting's pair was split";
        ++i;
    }
    EXPECT_EQ(settings,
        (std::vector<std::string>{Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1001)),
            Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 2001)), kOutputOn,
            Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1002)),
            Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1003))}))
        << "turns by whole settings, in the order the clients came";
    for (Client* client : {&a, &b, &c}) {
        EXPECT_EQ(client->answers, (std::vector<std::string>(client == &a ? 2 : 1, "1")));
        client->Line(5000, "SYST:ERR?");
        EXPECT_EQ(client->answers.back(), "0,\"No error\"");
    }
    EXPECT_EQ(amp.settings.targetCurrentMa, 1003);
}

// Readings come from the shared poll: any number of readers leaves the wire as it was.
TEST_F(LineOwnerTest, ReadersCostTheWireNothing)
{
    std::vector<std::string> alone;
    {
        RunUntil(3000);
        alone = amp.log;
    }
    VirtualClock clock2;
    FakeAmp amp2{clock2};
    std::atomic<bool> stop2{false};
    SettingQueue queue2{[&clock2] { return clock2.now; }};
    Amplifier shared2{[] { return WallTime(); }, VirtualSteady(clock2)};
    Sink sink2{shared2};
    std::vector<std::unique_ptr<Client>> readers;
    for (int i = 0; i < 50; ++i) {
        readers.push_back(std::make_unique<Client>(i + 1, shared2, queue2, amp2, access, throttle));
        for (std::int64_t t = 300 + i; t < 3000; t += 200) {
            Client* reader = readers.back().get();
            amp2.Schedule(t, [reader, t] { reader->Line(t, "MEAS?;:MEAS:CURR?;:SOUR:CURR?;:OUTP?;:LINK?;:ALAR?"); });
        }
    }
    amp2.Schedule(3000, [&] { stop2 = true; });
    FakeLineOut out2(amp2, clock2);
    LineOwner owner(out2, queue2, sink2, GuardLimits());
    RunOwner(amp2, clock2, owner, stop2);
    EXPECT_EQ(amp2.log, alone);
    EXPECT_EQ(readers[7]->answers.back(), "NONE");
    EXPECT_EQ(readers[7]->answers[0], "1500,0.00,33.39,28.00");
}

TEST_F(LineOwnerTest, TheGuardTripsLatchesRefusesOnAndClears)
{
    GuardLimits limits;
    limits.minInputDbm = -30;
    amp.output = proto::kOutputOn;
    Client& operatorClient = NewClient();
    amp.Schedule(1000, [this] { amp.inputRaw = 7000 - 4000; });  // -40 dBm: the input signal is lost
    Say(operatorClient, 2500, "OUTP ON;*OPC?;:SYST:ERR?;:ALAR?");
    amp.Schedule(3000, [this] { amp.inputRaw = 7000; });
    Say(operatorClient, 3500, "ALAR:CLE;:OUTP ON;*OPC?;:SYST:ERR?;:ALAR?");
    RunUntil(5000, limits);

    std::vector<std::string> settings;
    for (const std::string& line : Sent(0))
        if (!IsQuery(line))
            settings.push_back(line);
    // Broken from the poll after 1000 ms: the second broken poll switches off, twice as any setting.
    ASSERT_EQ(settings.size(), 4u);
    EXPECT_EQ(FrameOf(settings[0]), kOutputOff);
    EXPECT_EQ(FrameOf(settings[1]), kOutputOff);
    EXPECT_LT(TimeOf(settings[0]), 1700);
    EXPECT_EQ(FrameOf(settings[2]), kOutputOn) << "switched on again only after the alarm was cleared";
    EXPECT_GE(TimeOf(settings[2]), 3500);
    EXPECT_EQ(operatorClient.answers,
        (std::vector<std::string>{"1", "+202,\"Alarm latched\"", "MIN-INPUT -40.00 1970-01-01T00:00:00.000Z", "1",
            "0,\"No error\"", "NONE"}));
    EXPECT_EQ(amp.output, proto::kOutputOn);
}

// Silent for over a second, the link goes down; settings then fail unsent, and when the amplifier
// answers again nothing but queries goes out: no setting is sent again after a reconnect.
TEST_F(LineOwnerTest, NothingButQueriesAfterTheLinkComesBack)
{
    Client& client = NewClient();
    Say(client, 900, "SOUR:CURR 1234");  // confirmed before the silence
    const auto silence
        = [this](bool silent) { amp.answerSettings = amp.answerOutput = amp.answerStatus = amp.echo = !silent; };
    amp.Schedule(1500, [&] { silence(true); });
    Say(client, 1600, "OUTP ON");  // sent into the silence: not confirmed
    Say(client, 3500, "OUTP ON;*OPC?;:SYST:ERR?;:SYST:ERR?;:LINK?");
    amp.Schedule(5000, [&] { silence(false); });
    RunUntil(7000);

    EXPECT_EQ(sink.links, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(client.answers,
        (std::vector<std::string>{"1", "+210,\"No answer from the amplifier\"", "+230,\"Link down\"", "DOWN"}));
    for (const std::string& line : Sent(3000))
        EXPECT_TRUE(IsQuery(line)) << line;
}

TEST_F(LineOwnerTest, APulledAdapterEndsTheHoldAndFailsWhatWaits)
{
    Client& client = NewClient();
    amp.Schedule(1000, [this] { amp.failed = true; });
    Say(client, 999, "SOUR:CURR 1234;SOUR:CURR 1235;*OPC?");
    FakeLineOut out(amp, clock);
    LineOwner owner(out, queue, sink, GuardLimits());
    EXPECT_EQ(RunOwner(amp, clock, owner, stop), engine::Outcome::kLineFailed);
    EXPECT_EQ(sink.links, (std::vector<bool>{true, false}));
    EXPECT_EQ(client.scpi.Pending(), 0) << "every setting is done with";
    EXPECT_EQ(client.answers, (std::vector<std::string>{"1"}));
}

// A panel on ampd's panel link: the frames it sends are put in at virtual times, what it is sent
// is logged with the time it was written.
// Only whole frames of the command set reach the line; what follows a broken one is still found.
TEST_F(PanelLinkTest, FramesTheAmplifierWouldNotTakeAreDropped)
{
    const std::vector<std::uint8_t> status = Bytes(proto::MakeQueryFrame(proto::CMD_QUERY_STATUS));
    const std::vector<std::uint8_t> current = Bytes(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1200));
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Case> cases{
        {"bad checksum", {0xEF, 0xEF, 0x04, 0x0D, 0x04, 0xB0, 0x00}},
        {"broken header", {0xEF, 0x00, 0x02, 0x00, 0xE0}},
        {"LEN out of range", {0xEF, 0xEF, 0x07, 0x00, 0xE5}},
        {"unknown command", {0xEF, 0xEF, 0x02, 0x01, 0xE1}},
        {"known code with the wrong LEN", {0xEF, 0xEF, 0x03, 0x0D, 0x05, 0xF3}},
        {"a frame cut short", {0xEF, 0xEF, 0x04, 0x0D}},
        {"junk", {0x00, 0xED, 0xFA, 0x55}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock clock2;
        FakeAmp amp2{clock2};
        FakePanel panel2{clock2};
        std::atomic<bool> stop2{false};
        SettingQueue queue2{[&clock2] { return clock2.now; }};
        Amplifier shared2{[] { return WallTime(); }, VirtualSteady(clock2)};
        Sink sink2{shared2};
        // Broken bytes, then a good query and a good setting pair after them.
        std::vector<std::uint8_t> stream = c.bytes;
        stream.insert(stream.end(), status.begin(), status.end());
        amp2.Schedule(1000, [&] { panel2.Send(stream); });
        amp2.Schedule(1500, [&] { panel2.Send(current); });
        amp2.Schedule(1600, [&] { panel2.Send(current); });
        amp2.Schedule(2000, [&] { stop2 = true; });
        FakeLineOut out2(amp2, clock2);
        LineOwner owner(out2, queue2, sink2, GuardLimits(), &panel2);
        panel2.Attach(&owner);
        RunOwner(amp2, clock2, owner, stop2);
        std::vector<std::string> fromPanel;
        for (const std::string& line : amp2.log)
            if (TimeOf(line) >= 1000 && FrameOf(line) != kOutputQuery)  // the output asked is ours
                fromPanel.push_back(FrameOf(line));
        EXPECT_EQ(fromPanel,
            (std::vector<std::string>{
                kStatusQuery, Hex(current.data(), current.size()), Hex(current.data(), current.size())}))
            << "the panel's polls stand in for ours, so only its frames go";
        EXPECT_EQ(sink2.done_, (std::vector<std::string>{"SOUR:CURR 1200: 0"}));
    }
}

// Every reply goes to the panel, whoever asked: our poll, a script's setting and its read-back.
TEST_F(PanelLinkTest, EveryReplyIsForwardedWhole)
{
    Client& script = NewClient();
    Say(script, 1000, "SOUR:CURR 1500;*OPC?");
    amp.settings.targetCurrentMa = 1000;
    RunWithPanel(2000);
    const auto received = [&](const std::string& reply) {
        return std::count_if(panel.received.begin(), panel.received.end(),
            [&](const std::string& line) { return FrameOf(line) == reply; });
    };
    EXPECT_EQ(panel.opened, 1);
    EXPECT_GE(received(HexReply(proto::EncodeReply(proto::TargetCurrentReply{1500}))), 1)
        << "the script's setting shows in the panel";
    EXPECT_GE(received(HexReply(proto::EncodeReply(proto::StatusReply{1500, 7000, 10339, 2800}))), 1);
    // Each whole reply is passed on as its last byte comes: its first was on the line a frame time
    // earlier (one byte a millisecond on the fake line), after the latency.
    for (const std::string& line : panel.received) {
        const auto sent = std::find_if(
            amp.log.rbegin(), amp.log.rend(), [&](const std::string& frame) { return TimeOf(frame) < TimeOf(line); });
        ASSERT_NE(sent, amp.log.rend());
        const std::size_t bytes = (FrameOf(line).size() + 1) / 3;
        EXPECT_EQ(TimeOf(line) - TimeOf(*sent), amp.latencyMs + static_cast<std::int64_t>(bytes) - 1) << line;
    }
    EXPECT_EQ(script.answers, (std::vector<std::string>{"1"}));
}

// While the panel polls we send no poll of our own; we take it up again once the panel has been
// quiet for longer than its longest gap.
TEST_F(PanelLinkTest, ThePanelsPollsStandInForOurs)
{
    PanelPolls(1000, 3000);
    RunWithPanel(5000);
    std::vector<std::int64_t> polls;
    for (const std::string& line : Sent(900))
        if (FrameOf(line) == kStatusQuery)
            polls.push_back(TimeOf(line));
    std::vector<std::int64_t> expected;
    for (std::int64_t t = 1000; t < 3000; t += 200)
        expected.push_back(t);
    ASSERT_GE(polls.size(), expected.size() + 2);
    EXPECT_EQ(std::vector<std::int64_t>(polls.begin(), polls.begin() + expected.size()), expected)
        << "the panel's polls as they came, and none of ours";
    // The panel's last poll at 2800: ours again only after 0.7 s of quiet, then every 200 ms.
    const std::int64_t resumed = polls[expected.size()];
    EXPECT_GE(resumed, 2800 + LineOwner::kPanelQuietMs);
    EXPECT_LE(resumed, 2800 + LineOwner::kPanelQuietMs + 10);
    EXPECT_EQ(polls[expected.size() + 1] - resumed, 200);
}

// The panel takes its turn with a script by whole settings: its pair is never split and a
// script's pair never splits it, the spacing is kept, and each is audited.
TEST_F(PanelLinkTest, ThePanelTakesTurnsWithAScript)
{
    Client& script = NewClient();
    Say(script, 990, "SOUR:CURR 1001;CURR 1002;*OPC?");
    const proto::Frame off = proto::MakeByteFrame(proto::CMD_SET_OUTPUT, proto::kOutputOff);
    amp.output = proto::kOutputOn;
    PanelSetting(1000, off);
    RunWithPanel(4000);

    for (std::size_t i = 1; i < amp.log.size(); ++i)
        EXPECT_GE(TimeOf(amp.log[i]) - TimeOf(amp.log[i - 1]), proto::kFrameSpacingMs) << amp.log[i];
    std::vector<std::string> settings;
    for (std::size_t i = 0; i < amp.log.size(); ++i) {
        if (IsQuery(amp.log[i]))
            continue;
        settings.push_back(FrameOf(amp.log[i]));
        ASSERT_LT(i + 1, amp.log.size());
        EXPECT_EQ(FrameOf(amp.log[i + 1]), FrameOf(amp.log[i])) << "a setting's pair was split";
        ++i;
    }
    EXPECT_EQ(settings,
        (std::vector<std::string>{Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1001)), kOutputOff,
            Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT, 1002))}));
    EXPECT_EQ(sink.done_, (std::vector<std::string>{"SOUR:CURR 1001: 0", "OUTP OFF: 0", "SOUR:CURR 1002: 0"}));
    EXPECT_EQ(amp.output, proto::kOutputOff);
    EXPECT_EQ(script.answers, (std::vector<std::string>{"1"}));
}

// Each setting frame of a step ramp goes once, as it came, with the panel's own cadence.
TEST_F(PanelLinkTest, AStepRampKeepsItsCadence)
{
    for (int k = 0; k < 5; ++k)
        PanelSends(1000 + 200 * k, Bytes(proto::MakeWordFrame(proto::CMD_SET_CURRENT_ALT, 1501 + k)));
    // The amplifier does not echo the steps: the ramp still goes by the panel's clock.
    amp.Schedule(1500, [this] { amp.echo = false; });
    RunWithPanel(3000);
    std::vector<std::string> steps;
    for (const std::string& line : Sent(900))
        if (!IsQuery(line))
            steps.push_back(line);
    ASSERT_EQ(steps.size(), 5u);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(FrameOf(steps[k]), Hex(proto::MakeWordFrame(proto::CMD_SET_CURRENT_ALT, 1501 + k)));
        if (k > 0) {
            EXPECT_EQ(TimeOf(steps[k]) - TimeOf(steps[k - 1]), 200);
        }
    }
    EXPECT_EQ(amp.settings.targetCurrentMa, 1505);
}

// With a limit alarm latched the panel's ON never reaches the line: the panel hears the output
// as it is, once per frame, and the refusal is audited once.
TEST_F(PanelLinkTest, TheGuardRefusesThePanelsOn)
{
    shared.Latch(Alarm{"MAX-TEMP", 50, {}});
    PanelSetting(1000, proto::MakeByteFrame(proto::CMD_SET_OUTPUT, proto::kOutputOn));
    RunWithPanel(2000);
    for (const std::string& line : amp.log)
        EXPECT_TRUE(IsQuery(line)) << line;
    const std::string off = HexReply(proto::EncodeReply(proto::OutputReply{proto::kOutputOff}));
    EXPECT_EQ(std::count_if(panel.received.begin(), panel.received.end(),
                  [&](const std::string& line) {
                      return (TimeOf(line) == 1000 || TimeOf(line) == 1100) && FrameOf(line) == off;
                  }),
        2);
    EXPECT_EQ(sink.done_, (std::vector<std::string>{"OUTP ON: 4"}));
}

// The guard reads the panel's polls too: the output goes off while only the panel polls.
TEST_F(PanelLinkTest, TheGuardWatchesThePanelsPolls)
{
    GuardLimits limits;
    limits.minInputDbm = -30;
    amp.output = proto::kOutputOn;
    PanelPolls(1000, 3000);
    amp.Schedule(1500, [this] { amp.inputRaw = 7000 - 4000; });
    RunWithPanel(3000, limits);
    std::vector<std::string> settings;
    for (const std::string& line : Sent(1000))
        if (!IsQuery(line))
            settings.push_back(line);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(FrameOf(settings[0]), kOutputOff);
    EXPECT_LT(TimeOf(settings[0]), 2000);
    EXPECT_EQ(amp.output, proto::kOutputOff);
    const std::string off = HexReply(proto::EncodeReply(proto::OutputReply{proto::kOutputOff}));
    EXPECT_TRUE(std::any_of(panel.received.begin(), panel.received.end(), [&](const std::string& line) {
        return FrameOf(line) == off;
    })) << "the panel's switch shows OFF";
}

// The amplifier silent while only the panel polls: the panel's line is hung up, and made again
// when the amplifier answers.
TEST_F(PanelLinkTest, ASilentAmplifierHangsUpThePanel)
{
    PanelPolls(1000, 6000);
    const auto silence
        = [this](bool silent) { amp.answerSettings = amp.answerOutput = amp.answerStatus = amp.echo = !silent; };
    amp.Schedule(2000, [&] { silence(true); });
    amp.Schedule(4000, [&] { silence(false); });
    RunWithPanel(6000);
    EXPECT_EQ(sink.links, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(panel.opened, 2) << "made again when the amplifier answered";
    EXPECT_EQ(panel.hungUp, 2) << "once in the silence, once as the server stopped";
    std::vector<std::string> duringSilence;
    for (const std::string& line : panel.received)
        if (TimeOf(line) > 2100 && TimeOf(line) < 4000)
            duringSilence.push_back(line);
    EXPECT_EQ(duringSilence, std::vector<std::string>()) << "no stale readouts";
}

TEST_F(PanelLinkTest, APulledAdapterHangsUpThePanel)
{
    amp.Schedule(1000, [this] { amp.failed = true; });
    EXPECT_EQ(RunWithPanel(2000), engine::Outcome::kLineFailed);
    EXPECT_EQ(panel.opened, 1);
    EXPECT_EQ(panel.hungUp, 1);
    EXPECT_FALSE(panel.open);
}

}  // namespace
