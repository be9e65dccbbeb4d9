// ampctl's commands through ampd, against a fake ampd in virtual time: the SCPI lines each command
// sends, how each answer and each error becomes a record, a message and an exit code, and that what
// is printed is what the serial path prints for the same amplifier (run beside it against a fake
// amplifier on a fake line).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ampctl/Commands.h"
#include "ampctl/SerialLink.h"
#include "ampctl/ServerSession.h"
#include "tests/engine/FakeAmp.h"

using namespace ampctl;

namespace {

using fakeline::FakeAmp;
using fakeline::kUs;
using fakeline::VirtualClock;

const std::string kPort = "tcp://127.0.0.1:5025";

// ampd as its clients see it: each query answered from a table, settings queuing the errors given
// them, *OPC?, SYST:ERR? and the token as ampd has them. Answers arrive latencyMs after the line.
class FakeAmpd : public ServerLine {
public:
    explicit FakeAmpd(VirtualClock& clock) : m_clock(clock) {}

    std::map<std::string, std::string> answers{
        {"LINK?", "UP"},
        {"MEAS?", "1500,0.00,33.39,28.00"},
        {"SOUR:CURR?", "1500"},
        {"SOUR:CURR:MAX?", "6000"},
        {"SOUR:POW?", "37.00"},
        {"SOUR:MODE?", "ACC"},
        {"OUTP?", "1"},
        {"ALAR?", "NONE"},
    };
    std::vector<std::string> settingErrors;  // queued by each setting
    std::string token;                       // control needs it when set
    std::set<std::string> unanswered;        // queries that get no answer
    std::set<std::string> tooLong;           // queries whose answer is longer than a line may be
    std::map<int, int> delayMs;              // the answer to the n-th line (from 0) comes this much later
    std::map<int, std::string> answerTo;     // the n-th line's answer, instead of the table's
    std::string closeOn;                     // the connection ends when this line comes
    std::vector<std::string> greeting;       // lines sent as soon as the connection is made
    int latencyMs = 2;
    std::vector<std::string> lines;  // what ampctl sent
    std::vector<std::int64_t> at;    // when, in milliseconds

    bool Send(const std::string& line) override
    {
        if (m_closed)
            return false;
        if (lines.empty())
            for (const std::string& g : greeting)
                Arrive(g, m_clock.now, false);
        const int n = static_cast<int>(lines.size());
        lines.push_back(line);
        at.push_back(m_clock.now / kUs);
        if (line == closeOn) {
            m_closed = true;
            return true;
        }
        const std::int64_t when = m_clock.now + (latencyMs + (delayMs.count(n) ? delayMs[n] : 0)) * kUs;
        if (answerTo.count(n))
            Arrive(answerTo[n], when, false);
        else
            Take(line, when);
        return true;
    }

    Got Receive(std::string& line, int timeoutMs) override
    {
        const std::int64_t wake = m_clock.now + timeoutMs * kUs;
        if (!m_pending.empty() && m_pending.front().t <= wake) {
            m_clock.now = std::max(m_clock.now, m_pending.front().t);
            const Pending p = m_pending.front();
            m_pending.pop_front();
            line = p.text;
            return p.tooLong ? Got::kTooLong : Got::kLine;
        }
        if (m_closed)
            return Got::kClosed;
        m_clock.now = wake;
        return Got::kNothing;
    }

private:
    struct Pending {
        std::int64_t t;
        std::string text;
        bool tooLong;
    };

    // Answers keep the order of their queries, as ampd's do: a late one holds up those behind it.
    void Arrive(const std::string& text, std::int64_t t, bool longer)
    {
        t = std::max(t, m_lastAnswer);
        m_lastAnswer = t;
        const auto place = std::upper_bound(
            m_pending.begin(), m_pending.end(), t, [](std::int64_t when, const Pending& p) { return when < p.t; });
        m_pending.insert(place, {t, text, longer});
    }

    void Take(const std::string& line, std::int64_t when)
    {
        if (line.compare(0, 10, "SYST:AUTH ") == 0) {
            // A string in quotes, a doubled quote standing for one.
            std::string given;
            for (std::size_t i = 11; i + 1 < line.size(); ++i) {
                given += line[i];
                if (line[i] == '"')
                    ++i;
            }
            m_authenticated = !token.empty() && given == token;
            if (!m_authenticated)
                m_errors.push_back("+220,\"Not authorised\"");
            return;
        }
        if (unanswered.count(line))
            return;
        if (line == "SYST:ERR?" && !answers.count(line)) {
            Arrive(m_errors.empty() ? "0,\"No error\"" : m_errors.front(), when, false);
            if (!m_errors.empty())
                m_errors.pop_front();
            return;
        }
        if (line == "*OPC?" && !answers.count(line))
            return Arrive("1", when, false);
        if (line.back() == '?')
            return Arrive(tooLong.count(line) ? "" : answers[line], when, tooLong.count(line) > 0);
        if (!token.empty() && !m_authenticated) {
            m_errors.push_back("+220,\"Not authorised\"");
            return;
        }
        m_errors.insert(m_errors.end(), settingErrors.begin(), settingErrors.end());
    }

    VirtualClock& m_clock;
    std::deque<Pending> m_pending;
    std::deque<std::string> m_errors;
    std::int64_t m_lastAnswer = 0;
    bool m_authenticated = false;
    bool m_closed = false;
};

class CapturedConsole : public Console {
public:
    std::string out;
    std::string err;
    bool Print(const std::string& text) override
    {
        out += text + "\n";
        return true;
    }
    void Error(const std::string& line) override { err += "ampctl: " + line + "\n"; }
    std::chrono::system_clock::time_point Now() override
    {
        return std::chrono::system_clock::time_point(std::chrono::milliseconds(1780000000000));
    }
};

struct Ran {
    int exit = -1;
    std::string out;
    std::string err;
};

Options Command(const std::vector<std::string>& words, const std::string& port)
{
    std::vector<std::string> all{"-p", port};
    all.insert(all.end(), words.begin(), words.end());
    const ParseResult parsed = ParseCommandLine(all, nullptr);
    EXPECT_EQ(parsed.outcome, Parsed::kRun) << parsed.error;
    EXPECT_EQ(UsageError(parsed.options), "");
    return parsed.options;
}

Ran ThroughAmpd(
    FakeAmpd& ampd, VirtualClock& clock, const std::vector<std::string>& words, const std::string& token = "")
{
    const std::atomic<bool> stop{false};
    const Options options = Command(words, kPort);
    ServerSession session(ampd, clock, stop, static_cast<int>(options.timeoutS * 1000), kPort, token);
    CapturedConsole console;
    Ran run;
    run.exit = RunCommand(options, session, console);
    run.out = console.out;
    run.err = console.err;
    return run;
}

Ran OnThePort(FakeAmp& amp, VirtualClock& clock, const std::vector<std::string>& words)
{
    const std::atomic<bool> stop{false};
    const Options options = Command(words, "/dev/ttyUSB0");
    SerialLink link(amp, clock, stop, static_cast<int>(options.timeoutS * 1000));
    CapturedConsole console;
    Ran run;
    run.exit = RunCommand(options, link, console);
    run.out = console.out;
    run.err = console.err;
    return run;
}

// The serial path's confirmation, as ampd's is worded.
std::string ByAmpd(std::string text)
{
    for (const auto& [serial, server] :
        {std::pair<std::string, std::string>{", confirmed by the amplifier's echo", ", confirmed by ampd"},
            {"\"confirmed_by\":\"echo\"", "\"confirmed_by\":\"ampd\""}}) {
        const std::size_t at = text.find(serial);
        if (at != std::string::npos)
            text.replace(at, serial.size(), server);
    }
    return text;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines)
        all += line + "|";
    return all;
}

class ThroughAmpdTest : public ::testing::Test {
protected:
    VirtualClock clock;
    FakeAmpd ampd{clock};
    VirtualClock lineClock;
    FakeAmp amp{lineClock};

    Ran Server(const std::vector<std::string>& words, const std::string& token = "")
    {
        return ThroughAmpd(ampd, clock, words, token);
    }

    Ran Serial(const std::vector<std::string>& words) { return OnThePort(amp, lineClock, words); }
};

TEST_F(ThroughAmpdTest, StatusPrintsWhatTheSerialPathPrintsForTheSameAmplifier)
{
    // Catches: a power or temperature read a hundredth off or with the wrong sign, raw units off by
    // the offset, mode or output swapped, a field taken from another query.
    const struct {
        const char* what;
        proto::SettingsReply settings;
        std::uint8_t output;
        proto::StatusReply status;
        std::map<std::string, std::string> answers;
    } cases[] = {
        {"typical", {10700, 1500, 6000, proto::kModeAcc, 1}, proto::kOutputOn, {1490, 6679, 10339, 2801},
            {{"MEAS?", "1490,-3.21,33.39,28.01"}, {"SOUR:CURR?", "1500"}, {"SOUR:CURR:MAX?", "6000"},
                {"SOUR:POW?", "37.00"}, {"SOUR:MODE?", "ACC"}, {"OUTP?", "1"}}},
        {"a hundredth below zero, APC, off", {6995, 0, 5000, proto::kModeApc, 1}, proto::kOutputOff, {0, 6995, 6999, 5},
            {{"MEAS?", "0,-0.05,-0.01,0.05"}, {"SOUR:CURR?", "0"}, {"SOUR:CURR:MAX?", "5000"}, {"SOUR:POW?", "-0.05"},
                {"SOUR:MODE?", "APC"}, {"OUTP?", "0"}}},
        {"the ends of the scales", {65535, 65535, 65535, proto::kModeAcc, 1}, proto::kOutputOn,
            {65535, 0, 65535, 65535},
            {{"MEAS?", "65535,-70.00,585.35,655.35"}, {"SOUR:CURR?", "65535"}, {"SOUR:CURR:MAX?", "65535"},
                {"SOUR:POW?", "585.35"}, {"SOUR:MODE?", "ACC"}, {"OUTP?", "1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        amp.settings = c.settings;
        amp.output = c.output;
        amp.pumpMa = c.status.currentMa;
        amp.inputRaw = c.status.inputPowerRaw;
        amp.outputRaw = c.status.outputPowerRaw;
        amp.temperatureRaw = c.status.temperatureRaw;
        for (const auto& [query, answer] : c.answers)
            ampd.answers[query] = answer;
        for (const std::vector<std::string>& words :
            {std::vector<std::string>{"status"}, std::vector<std::string>{"--json", "status"}}) {
            const Ran serial = Serial(words);
            const Ran server = Server(words);
            ASSERT_EQ(serial.exit, 0) << serial.err;
            EXPECT_EQ(server.exit, 0) << server.err;
            EXPECT_EQ(server.out, serial.out);
            EXPECT_EQ(server.err, "");
        }
    }
    EXPECT_EQ(Joined({ampd.lines.begin(), ampd.lines.begin() + 7}),
        "LINK?|MEAS?|SOUR:CURR?|SOUR:CURR:MAX?|SOUR:POW?|SOUR:MODE?|OUTP?|");
}

TEST_F(ThroughAmpdTest, StatusRefusesAnswersOfAnotherForm)
{
    // Every byte from the network is hostile: a line of another form is never taken as a value.
    const std::pair<const char*, const char*> cases[] = {
        {"LINK?", "up"},
        {"LINK?", "UP "},
        {"MEAS?", "1500,0.00,33.39"},
        {"MEAS?", "1500,0.00,33.39,28.00,1"},
        {"MEAS?", "1500,0.0,33.39,28.00"},
        {"MEAS?", "1500,0.000,33.39,28.00"},
        {"MEAS?", "65536,0.00,33.39,28.00"},
        {"MEAS?", "-1,0.00,33.39,28.00"},
        {"MEAS?", "01500,0.00,33.39,28.00"},
        {"MEAS?", "1500,-70.01,33.39,28.00"},
        {"MEAS?", "1500,585.36,33.39,28.00"},
        {"MEAS?", "1500,0.00,33.39,-0.01"},
        {"MEAS?", "1500,+0.00,33.39,28.00"},
        {"MEAS?", "1500,0.00,33.39,28.00\x1b[2J"},
        {"MEAS?", ""},
        {"SOUR:CURR?", "1e3"},
        {"SOUR:CURR:MAX?", " 6000"},
        {"SOUR:POW?", "37"},
        {"SOUR:MODE?", "acc"},
        {"OUTP?", "ON"},
    };
    for (const auto& [query, answer] : cases) {
        SCOPED_TRACE(std::string(query) + " " + answer);
        VirtualClock c;
        FakeAmpd a(c);
        a.answers[query] = answer;
        const Ran run = ThroughAmpd(a, c, {"status"});
        // The first answer of another form: what listens there is not ampd.
        const bool first = std::string(query) == "LINK?";
        EXPECT_EQ(run.exit, first ? 3 : 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err,
            "ampctl: " + kPort + (first ? ": that is not ampd: its answer to " : ": ampd's answer to ") + query
                + " cannot be read\n");
    }
}

TEST_F(ThroughAmpdTest, StatusWhenAmpdHasNothingToTell)
{
    const struct {
        const char* query;
        const char* answer;
        int exit;
        std::string err;
    } cases[] = {
        {"LINK?", "DOWN", 3, kPort + ": the link is down: ampd has no answer from the amplifier"},
        {"MEAS?", "9.91E+37,9.91E+37,9.91E+37,9.91E+37", 1,
            "no answer from the amplifier on " + kPort + ": ampd has none yet"},
        {"SOUR:MODE?", "NONE", 1, "no answer from the amplifier on " + kPort + ": ampd has none yet"},
        {"OUTP?", "9.91E+37", 1, "no answer from the amplifier on " + kPort + ": ampd has none yet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        VirtualClock vc;
        FakeAmpd a(vc);
        a.answers[c.query] = c.answer;
        const Ran run = ThroughAmpd(a, vc, {"status"});
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "ampctl: " + c.err + "\n");
    }
}

TEST_F(ThroughAmpdTest, SettingsSendTheirLineAndPrintWhatTheSerialPathPrints)
{
    // Catches: a current sent as typed rather than in whole milliamps as the port gets it, a power
    // rounded before it goes, a mode or state sent the other way, a setting not waited for.
    const struct {
        std::vector<std::string> words;
        std::string line;
    } cases[] = {
        {{"set-current", "1200"}, "SOUR:CURR 1200"},
        {{"set-current", "1200.9"}, "SOUR:CURR 1200"},
        {{"set-current", "0"}, "SOUR:CURR 0"},
        {{"set-power", "20.5"}, "SOUR:POW 20.5"},
        {{"set-power", "-3.21"}, "SOUR:POW -3.21"},
        {{"set-power", "-69.93"}, "SOUR:POW -69.93"},
        {{"set-power", "+.5e1"}, "SOUR:POW 5"},
        {{"mode", "apc"}, "SOUR:MODE APC"},
        {{"mode", "acc"}, "SOUR:MODE ACC"},
        {{"output", "on"}, "OUTP ON"},
        {{"output", "off"}, "OUTP OFF"},
    };
    for (const auto& c : cases) {
        for (const bool json : {false, true}) {
            std::vector<std::string> words = c.words;
            if (json)
                words.insert(words.begin(), "--json");
            SCOPED_TRACE(Joined(words));
            VirtualClock vc;
            FakeAmpd a(vc);
            const Ran server = ThroughAmpd(a, vc, words);
            const Ran serial = Serial(words);
            ASSERT_EQ(serial.exit, 0) << serial.err;
            EXPECT_EQ(server.exit, 0) << server.err;
            EXPECT_EQ(server.out, ByAmpd(serial.out));
            EXPECT_NE(server.out, serial.out) << "the confirmation is ampd's";
            EXPECT_EQ(server.err, "");
            EXPECT_EQ(Joined(a.lines), c.line + "|*OPC?|SYST:ERR?|");
        }
    }
}

TEST_F(ThroughAmpdTest, EachErrorOfASettingHasTheSerialPathsMeaning)
{
    const std::string link = "ampctl: " + kPort + ": ";
    const struct {
        const char* what;
        std::vector<std::string> words;
        std::vector<std::string> errors;
        std::map<std::string, std::string> answers;
        int exit;
        std::string out;
        std::string err;
    } cases[] = {
        {"clamped", {"--json", "set-current", "99999"}, {"+201,\"Clamped\""}, {{"SOUR:CURR?", "6000"}}, 0,
            "{\"target_current_ma\":6000,\"requested_ma\":99999,\"clamped\":true,\"confirmed_by\":\"ampd\"}\n",
            "ampctl: note: 99999 mA is outside 0 ... 6000 mA, the amplifier's range: 6000 mA sent instead\n"},
        {"clamped below", {"set-current", "-5"}, {"+201,\"Clamped\""}, {{"SOUR:CURR?", "0"}}, 0,
            "target current 0 mA, confirmed by ampd\n",
            "ampctl: note: -5 mA is outside 0 ... 6000 mA, the amplifier's range: 0 mA sent instead\n"},
        {"alarm latched", {"output", "on"}, {"+202,\"Alarm latched\""}, {}, 1, "",
            "ampctl: refused: an alarm is latched (ampctl alarms; clear-alarms)\n"},
        {"no answer", {"set-current", "1200"}, {"+210,\"No answer from the amplifier\""}, {}, 1, "",
            "ampctl: no answer from the amplifier on " + kPort + " within ampd's wait\n"},
        {"not confirmed", {"set-current", "1200"}, {"+211,\"Setting not confirmed\""}, {{"SOUR:CURR?", "1100"}}, 1, "",
            "ampctl: the amplifier did not confirm 1200 mA: it reports 1100 mA\n"},
        {"not confirmed, clamped", {"set-current", "9000"}, {"+211,\"Setting not confirmed\""},
            {{"SOUR:CURR?", "5000"}}, 1, "",
            "ampctl: note: 9000 mA is outside 0 ... 6000 mA, the amplifier's range: 6000 mA sent instead\n"
            "ampctl: the amplifier did not confirm 6000 mA: it reports 5000 mA\n"},
        {"not confirmed, power", {"set-power", "50"}, {"+211,\"Setting not confirmed\""}, {{"SOUR:POW?", "40.00"}}, 1,
            "", "ampctl: the amplifier did not confirm 50.00 dBm: it reports 40.00 dBm\n"},
        {"not confirmed, nothing known", {"mode", "apc"}, {"+211,\"Setting not confirmed\""}, {{"SOUR:MODE?", "NONE"}},
            1, "", "ampctl: the amplifier did not confirm APC: ampd reports it not confirmed\n"},
        {"not authorised", {"output", "off"}, {"+220,\"Not authorised\""}, {}, 3, "",
            link + "control refused: ampd wants its token (--token-file FILE or AMPCTL_TOKEN)\n"},
        {"link down", {"output", "off"}, {"+230,\"Link down\""}, {}, 3, "",
            link + "the link is down: ampd has no answer from the amplifier\n"},
        {"out of range", {"set-power", "40"}, {"-222,\"Data out of range\""}, {}, 2, "",
            "ampctl: refused: nothing was sent\n"},
        {"another error", {"set-current", "1200"}, {"-113,\"Undefined header;SOUR:CURR\""}, {}, 1, "",
            link + "ampd refused SOUR:CURR 1200: -113,\"Undefined header;SOUR:CURR\"\n"},
        {"an error's text shown printable only", {"output", "off"}, {"-113,\"a\x07\x1b]0;b\""}, {}, 1, "",
            link + "ampd refused OUTP OFF: -113,\"a??]0;b\"\n"},
        {"an unreadable error", {"output", "off"}, {"+201 Clamped"}, {}, 1, "",
            link + "ampd's answer to SYST:ERR? cannot be read\n"},
        {"*OPC? answered otherwise, the first answer", {"output", "off"}, {}, {{"*OPC?", "HTTP/1.1 400 Bad Request"}},
            3, "", link + "that is not ampd: its answer to *OPC? cannot be read\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock vc;
        FakeAmpd a(vc);
        a.settingErrors = c.errors;
        for (const auto& [query, answer] : c.answers)
            a.answers[query] = answer;
        const Ran run = ThroughAmpd(a, vc, c.words);
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST_F(ThroughAmpdTest, AClampPrintsWhatTheSerialPathPrints)
{
    ampd.settingErrors = {"+201,\"Clamped\""};
    ampd.answers["SOUR:CURR?"] = "6000";
    for (const std::vector<std::string>& words :
        {std::vector<std::string>{"set-current", "9000"}, std::vector<std::string>{"--json", "set-current", "9000"}}) {
        const Ran serial = Serial(words);
        const Ran server = Server(words);
        EXPECT_EQ(server.exit, serial.exit);
        EXPECT_EQ(server.out, ByAmpd(serial.out));
        EXPECT_EQ(server.err, serial.err);
    }
}

TEST_F(ThroughAmpdTest, FailuresOfTheConnection)
{
    const std::string link = "ampctl: " + kPort + ": ";
    const struct {
        const char* what;
        std::vector<std::string> words;
        std::function<void(FakeAmpd&)> arrange;
        int exit;
        int ms;  // when it ends
        std::string err;
    } cases[] = {
        {"silent", {"--timeout", "1.5", "status"}, [](FakeAmpd& a) { a.unanswered = {"LINK?"}; }, 1, 1500,
            "ampctl: no answer from ampd on " + kPort + " to LINK? within 1.5 s\n"},
        {"a setting never done", {"output", "off"}, [](FakeAmpd& a) { a.unanswered = {"*OPC?"}; }, 1, 2000,
            "ampctl: no answer from ampd on " + kPort + " to *OPC? within 2 s\n"},
        {"closed", {"output", "off"}, [](FakeAmpd& a) { a.closeOn = "*OPC?"; }, 1, 0,
            link + "ampd closed the connection\n"},
        {"a line too long", {"alarms"}, [](FakeAmpd& a) { a.tooLong = {"ALAR?"}; }, 1, 2,
            link + "ampd sent a line too long to be an answer\n"},
        {"turned away", {"status"},
            [](FakeAmpd& a) { a.greeting = {"+240,\"Too many clients;at most 32 from one address\""}; }, 3, 0,
            link + "ampd turned the connection away: +240,\"Too many clients;at most 32 from one address\"\n"},
        {"an error queue without end", {"output", "off"},
            [](FakeAmpd& a) { a.answers["SYST:ERR?"] = "-350,\"Queue overflow\""; }, 1,
            2 * (1 + ServerSession::kMostErrors), link + "ampd's error queue does not end\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock vc;
        FakeAmpd a(vc);
        c.arrange(a);
        const Ran run = ThroughAmpd(a, vc, c.words);
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(vc.now / kUs, c.ms);
    }
}

TEST_F(ThroughAmpdTest, TheTokenGoesFirstAndARefusedOneStopsEverything)
{
    const std::string token = "s3cret \"quoted\"";
    const std::string auth = "SYST:AUTH \"s3cret \"\"quoted\"\"\"";
    ampd.token = token;

    Ran run = Server({"output", "off"}, token);
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(Joined(ampd.lines), auth + "|SYST:ERR?|OUTP OFF|*OPC?|SYST:ERR?|");

    VirtualClock vc;
    FakeAmpd wrong(vc);
    wrong.token = "another";
    run = ThroughAmpd(wrong, vc, {"output", "off"}, token);
    EXPECT_EQ(run.exit, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ampctl: " + kPort + ": control refused: ampd did not accept the token\n");
    EXPECT_EQ(Joined(wrong.lines), auth + "|SYST:ERR?|SYST:ERR?|") << "nothing that needs control goes after a refusal";
    EXPECT_EQ(run.err.find("s3cret"), std::string::npos);

    // Reading needs no token: none is sent.
    VirtualClock rc;
    FakeAmpd reader(rc);
    reader.token = "another";
    EXPECT_EQ(ThroughAmpd(reader, rc, {"status"}, token).exit, 0);
    EXPECT_EQ(ThroughAmpd(reader, rc, {"alarms"}, token).exit, 0);
    for (const std::string& line : reader.lines)
        EXPECT_EQ(line.find("AUTH"), std::string::npos) << line;
}

TEST_F(ThroughAmpdTest, WatchKeepsTheSerialCadenceAndTellsALinkDownAsAMissedReading)
{
    ampd.answers["MEAS?"] = "1490,-3.21,33.39,28.01";
    amp.pumpMa = 1490;
    amp.inputRaw = 6679;
    amp.outputRaw = 10339;
    amp.temperatureRaw = 2801;
    const Ran serial = Serial({"watch", "--interval", "0.2", "--count", "3", "--csv"});
    Ran run = Server({"watch", "--interval", "0.2", "--count", "3", "--csv"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, serial.out);
    EXPECT_EQ(Joined(ampd.lines), "LINK?|MEAS?|LINK?|MEAS?|LINK?|MEAS?|");
    EXPECT_EQ(ampd.at, (std::vector<std::int64_t>{0, 2, 200, 202, 400, 402}));

    // The link down for the second reading: a line on stderr, none on stdout, exit 1 as for a
    // reading not answered; the cadence holds.
    VirtualClock vc;
    FakeAmpd down(vc);
    down.answers["MEAS?"] = ampd.answers["MEAS?"];
    down.answerTo[2] = "DOWN";
    run = ThroughAmpd(down, vc, {"--json", "watch", "--interval", "0.2", "--count", "3"});
    EXPECT_EQ(run.exit, 1);
    const std::string reading = "{\"time\":\"2026-05-28T20:26:40.000Z\",\"current_ma\":1490,\"input_dbm\":-3.21,"
                                "\"output_dbm\":33.39,\"temperature_c\":28.01}\n";
    EXPECT_EQ(run.out, reading + reading);
    EXPECT_EQ(run.err, "ampctl: 2026-05-28T20:26:40.000Z: the link is down, reading skipped\n");
    EXPECT_EQ(Joined(down.lines), "LINK?|MEAS?|LINK?|LINK?|MEAS?|");
    EXPECT_EQ(down.at, (std::vector<std::int64_t>{0, 2, 200, 400, 402}));
}

TEST_F(ThroughAmpdTest, AnAnswerTooLateIsTheMissedReadingsNotTheNextOnes)
{
    // The first MEAS? (line 1) answered 300 ms late, after the next slot has begun: the watch must
    // not take it for the answer to the next LINK?.
    ampd.delayMs[1] = 300;
    const Ran run = Server({"watch", "--interval", "0.2", "--count", "3", "--csv"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "ampctl: 2026-05-28T20:26:40.000Z: no answer to the status query, reading skipped\n");
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;
    EXPECT_EQ(Joined(ampd.lines), "LINK?|MEAS?|LINK?|MEAS?|LINK?|MEAS?|");
}

TEST_F(ThroughAmpdTest, Alarms)
{
    const std::string two = "MIN-INPUT -40.00 2026-12-07T10:15:02.250Z;LINK 3.5 2026-12-07T10:16:00.000Z";
    const struct {
        const char* answer;
        std::vector<std::string> words;
        std::string out;
    } cases[] = {
        {"NONE", {"alarms"}, ""},
        {"NONE", {"--json", "alarms"}, "[]\n"},
        {two.c_str(), {"alarms"}, "MIN-INPUT -40.00 2026-12-07T10:15:02.250Z\nLINK 3.5 2026-12-07T10:16:00.000Z\n"},
        {two.c_str(), {"--json", "alarms"},
            "[{\"name\":\"MIN-INPUT\",\"value\":-40.00,\"time\":\"2026-12-07T10:15:02.250Z\"},"
            "{\"name\":\"LINK\",\"value\":3.5,\"time\":\"2026-12-07T10:16:00.000Z\"}]\n"},
        {"MAX-CURRENT 6000 2026-12-07T10:15:02.250Z", {"--json", "alarms"},
            "[{\"name\":\"MAX-CURRENT\",\"value\":6000,\"time\":\"2026-12-07T10:15:02.250Z\"}]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        VirtualClock vc;
        FakeAmpd a(vc);
        a.answers["ALAR?"] = c.answer;
        const Ran run = ThroughAmpd(a, vc, c.words);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(Joined(a.lines), "ALAR?|");
    }
}

TEST_F(ThroughAmpdTest, AlarmsOfAnotherFormAreNotPrinted)
{
    // What goes into the JSON as it stands must be of its form: a quote or a brace in a name or a
    // time would break the object; a value must be a JSON number.
    const char* cases[] = {
        "",
        "none",
        "MIN-INPUT -40.00",
        "MIN-INPUT -40.00 2026-12-07T10:15:02.250Z;",
        "MIN\"INPUT -40.00 2026-12-07T10:15:02.250Z",
        "min-input -40.00 2026-12-07T10:15:02.250Z",
        "MIN-INPUT -40.00 2026-12-07T10:15:02.250Z extra",
        "MIN-INPUT 1e5 2026-12-07T10:15:02.250Z",
        "MIN-INPUT 040 2026-12-07T10:15:02.250Z",
        "MIN-INPUT -.5 2026-12-07T10:15:02.250Z",
        "MIN-INPUT 5. 2026-12-07T10:15:02.250Z",
        "MIN-INPUT NaN 2026-12-07T10:15:02.250Z",
        "MIN-INPUT -40.00 2026-12-07 10:15:02.250Z",
        "MIN-INPUT -40.00 2026-12-07T10:15:02.250\"}",
    };
    for (const char* answer : cases) {
        SCOPED_TRACE(answer);
        VirtualClock vc;
        FakeAmpd a(vc);
        a.answers["ALAR?"] = answer;
        const Ran run = ThroughAmpd(a, vc, {"--json", "alarms"});
        EXPECT_EQ(run.out, "");
        // The connection's first answer: what answers so is taken for another program than ampd.
        EXPECT_EQ(run.exit, 3);
        EXPECT_EQ(run.err, "ampctl: " + kPort + ": that is not ampd: its answer to ALAR? cannot be read\n");
    }
}

TEST_F(ThroughAmpdTest, ClearAlarms)
{
    Ran run = Server({"clear-alarms"}, "tok-1234");
    EXPECT_EQ(run.exit, 3) << "ampd here has no token, so it accepts none";
    ampd.token = "tok-1234";
    run = Server({"clear-alarms"}, "tok-1234");
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "alarms cleared\n");
    run = Server({"--json", "clear-alarms"}, "tok-1234");
    EXPECT_EQ(run.out, "{\"cleared\":true}\n");
    EXPECT_EQ(Joined({ampd.lines.end() - 3, ampd.lines.end()}), "ALAR:CLE|*OPC?|SYST:ERR?|");

    VirtualClock vc;
    FakeAmpd without(vc);
    without.token = "tok-1234";
    run = ThroughAmpd(without, vc, {"clear-alarms"});
    EXPECT_EQ(run.exit, 3);
    EXPECT_EQ(
        run.err, "ampctl: " + kPort + ": control refused: ampd wants its token (--token-file FILE or AMPCTL_TOKEN)\n");
}

TEST(ServerAddress, StrictForm)
{
    const struct {
        const char* port;
        const char* host;
        int number;
        bool good;
    } cases[] = {
        {"tcp://127.0.0.1:5025", "127.0.0.1", 5025, true},
        {"tcp://localhost:1", "localhost", 1, true},
        {"tcp://amp-3.lab.example:65535", "amp-3.lab.example", 65535, true},
        {"tcp://[::1]:5025", "::1", 5025, true},
        {"tcp://[fe80::1:2]:80", "fe80::1:2", 80, true},
        {"tcp://[::ffff:10.0.0.1]:5025", "::ffff:10.0.0.1", 5025, true},
        {"tcp://127.0.0.1", "", 0, false},
        {"tcp://127.0.0.1:", "", 0, false},
        {"tcp://:5025", "", 0, false},
        {"tcp://127.0.0.1:0", "", 0, false},
        {"tcp://127.0.0.1:65536", "", 0, false},
        {"tcp://127.0.0.1:05025", "", 0, false},
        {"tcp://127.0.0.1:+5025", "", 0, false},
        {"tcp://127.0.0.1:50 25", "", 0, false},
        {"tcp://127.0.0.1:5025/", "", 0, false},
        {"tcp://256.0.0.1:5025", "", 0, false},
        {"tcp://1.2.3:5025", "", 0, false},
        {"tcp://::1:5025", "", 0, false},
        {"tcp://[::1]5025", "", 0, false},
        {"tcp://[::1:5025", "", 0, false},
        {"tcp://[lo]:5025", "", 0, false},
        {"tcp://-amp:5025", "", 0, false},
        {"tcp://amp..lab:5025", "", 0, false},
        {"tcp://amp_3:5025", "", 0, false},
        {"tcp://user@amp:5025", "", 0, false},
        {"TCP://amp:5025", "", 0, false},
        {"tcp://", "", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        ServerAddress address;
        std::string error;
        EXPECT_EQ(ParseServerAddress(c.port, address, error), c.good) << error;
        if (c.good) {
            EXPECT_EQ(address.host, c.host);
            EXPECT_EQ(address.port, c.number);
        } else {
            EXPECT_EQ(error.compare(0, std::string(c.port).size() + 2, "'" + std::string(c.port) + "'"), 0) << error;
            // Refused before anything is opened: a usage error.
            Options options;
            options.command = CommandKind::kStatus;
            options.port = c.port;
            EXPECT_EQ(UsageError(options).empty(), !IsServerPort(c.port));
        }
    }
}

TEST(ServerOnly, AlarmsNeedAmpd)
{
    for (const CommandKind kind : {CommandKind::kAlarms, CommandKind::kClearAlarms}) {
        for (const char* port : {"/dev/ttyUSB0", "COM3", ""}) {
            Options options;
            options.command = kind;
            options.port = port;
            EXPECT_EQ(UsageError(options),
                std::string(kind == CommandKind::kAlarms ? "alarms" : "clear-alarms")
                    + " needs ampd: give -p tcp://HOST:PORT");
        }
        Options options;
        options.command = kind;
        options.port = kPort;
        EXPECT_EQ(UsageError(options), "");
    }
}

TEST(Token, FromTheFileOrTheEnvironment)
{
    const std::string folder = ::testing::TempDir();
    const auto file = [&](const std::string& name, const std::string& text) {
        std::string path = folder + "/ampctl-token-" + name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        return path;
    };
    const std::string longest(kMaxTokenBytes, 'x');
    const struct {
        const char* what;
        std::string path;
        const char* environment;
        bool ok;
        bool found;
        std::string token;
    } cases[] = {
        {"file, first line, blanks around", file("a", " \tsecret one\t\r\nsecond\n"), nullptr, true, true,
            "secret one"},
        {"file wins over the environment", file("b", "from-file"), "from-env", true, true, "from-file"},
        {"environment", "", " from-env\r", true, true, "from-env"},
        {"none", "", nullptr, true, false, ""},
        {"empty environment", "", "", true, false, ""},
        {"the longest", file("c", longest + "\n"), nullptr, true, true, longest},
        {"longer", file("d", longest + "y\n"), nullptr, false, false, ""},
        {"empty first line", file("e", "\nsecret\n"), nullptr, false, false, ""},
        {"a control character", file("f", "sec\x1bret\n"), nullptr, false, false, ""},
        {"missing file", folder + "/ampctl-token-none", "from-env", false, false, ""},
        {"blank environment", "", " \t", false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string token;
        bool found = true;
        std::string error;
        EXPECT_EQ(LoadToken(c.path, c.environment, token, found, error), c.ok) << error;
        EXPECT_EQ(found, c.found);
        if (c.ok)
            EXPECT_EQ(token, c.token);
        else
            EXPECT_EQ(error.find("sec"), std::string::npos) << "a token in a message: " << error;
    }
}

}  // namespace
