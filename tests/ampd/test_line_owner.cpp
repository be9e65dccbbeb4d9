// The server's line on a virtual clock: a fake amplifier, the line owner running ampctl's session,
// clients' commands through ScpiClient. Asserted on the frames written and their virtual times.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ampd/Amplifier.h"
#include "ampd/LineOwner.h"
#include "ampd/ScpiClient.h"
#include "tests/ampctl/FakeAmp.h"

using namespace ampd;
using namespace fakeline;

namespace {

const std::string kOutputOff = "EF EF 03 26 00 07";
const std::string kOutputOn = "EF EF 03 26 01 08";

std::int64_t TimeOf(const std::string& logLine)
{
    return std::stoll(logLine.substr(0, logLine.find(':')));
}

std::string FrameOf(const std::string& logLine)
{
    return logLine.substr(logLine.find(": ") + 2);
}

bool IsQuery(const std::string& logLine)
{
    return FrameOf(logLine).rfind("EF EF 02 ", 0) == 0;
}

// The server around the line, as Main wires it, on one thread: what the line learns goes to the
// shared record, and the guard's alarms latch there.
class Sink : public LineSink {
public:
    explicit Sink(Amplifier& amp) : m_amp(amp) {}
    void OnLink(bool up) override
    {
        m_amp.SetLink(up);
        links.push_back(up);
    }
    void OnReply(const proto::Reply& reply) override { m_amp.Apply(reply); }
    bool OnBreach(const Breach& breach) override { return m_amp.Latch(Alarm{breach.name, breach.value, {}}); }
    bool LimitAlarmLatched() override { return m_amp.View().LimitAlarmLatched(); }
    void OnSettingDone(const SettingRequest& request, const SettingDone& done) override
    {
        done_.push_back(
            (request.byGuard ? "guard " : "") + request.command + ": " + std::to_string(static_cast<int>(done.fate)));
    }
    std::vector<bool> links;
    std::vector<std::string> done_;

private:
    Amplifier& m_amp;
};

// One client of the server: its answers and its audit, its posted work run at once (one thread).
class Client : public ClientHost {
public:
    Client(std::uint64_t id, Amplifier& amp, SettingQueue& queue, FakeAmp& line, const Access& access,
        AuthThrottle& throttle)
        : m_line(line), scpi(
                            id, "client" + std::to_string(id), amp, queue, access, throttle, *this,
                            [](std::function<void()> work) { work(); }, "1.0.0")
    {
    }
    void Send(const std::string& line) override { answers.push_back(line); }
    void After(int delayMs, std::function<void()> work) override { m_line.Schedule(m_nowMs + delayMs, work); }
    void Audit(const std::string& command, const std::string& outcome) override
    {
        audit.push_back(command + " " + outcome);
    }
    void Line(std::int64_t nowMs, const std::string& line)
    {
        m_nowMs = nowMs;
        scpi.Line(line);
    }

    std::vector<std::string> answers;
    std::vector<std::string> audit;

private:
    FakeAmp& m_line;
    std::int64_t m_nowMs = 0;

public:
    ScpiClient scpi;
};

class LineOwnerTest : public ::testing::Test {
protected:
    // Runs the line until endMs of virtual time.
    ampctl::Outcome RunUntil(std::int64_t endMs, const GuardLimits& limits = GuardLimits())
    {
        amp.Schedule(endMs, [this] { stop = true; });
        LineOwner owner(amp, clock, queue, sink, limits, stop);
        return owner.Run();
    }

    Client& NewClient()
    {
        clients.push_back(std::make_unique<Client>(clients.size() + 1, shared, queue, amp, access, throttle));
        return *clients.back();
    }

    // At atMs, the client sends the line.
    void Say(Client& client, std::int64_t atMs, const std::string& line)
    {
        amp.Schedule(atMs, [&client, atMs, line] { client.Line(atMs, line); });
    }

    std::vector<std::string> Sent(std::int64_t fromMs) const
    {
        std::vector<std::string> out;
        for (const std::string& line : amp.log)
            if (TimeOf(line) >= fromMs)
                out.push_back(line);
        return out;
    }

    VirtualClock clock;
    FakeAmp amp{clock};
    std::atomic<bool> stop{false};
    SettingQueue queue;
    Amplifier shared{[] { return WallTime(); }};
    Sink sink{shared};
    Access access;
    AuthThrottle throttle;
    std::vector<std::unique_ptr<Client>> clients;
};

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
    Say(a, 1000, "SOUR:CURR 1001;CURR 1002;:SOUR:CURR 1003;*OPC?");
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
        EXPECT_EQ(client->answers, (std::vector<std::string>{"1"}));
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
    SettingQueue queue2;
    Amplifier shared2{[] { return WallTime(); }};
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
    LineOwner owner(amp2, clock2, queue2, sink2, GuardLimits(), stop2);
    owner.Run();
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
    LineOwner owner(amp, clock, queue, sink, GuardLimits(), stop);
    EXPECT_EQ(owner.Run(), ampctl::Outcome::kLineFailed);
    EXPECT_EQ(sink.links, (std::vector<bool>{true, false}));
    EXPECT_EQ(client.scpi.Pending(), 0) << "every setting is done with";
    EXPECT_EQ(client.answers, (std::vector<std::string>{"1"}));
}

}  // namespace
