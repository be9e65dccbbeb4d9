// The command line and the control channel: what they accept, what they refuse and why.
#include <gtest/gtest.h>

#include "SimHarness.h"
#include "sim/Control.h"
#include "sim/Options.h"

using namespace simtest;
using sim::Ms;

namespace {

struct BadCase {
    std::vector<std::string> args;
    const char* error;
};

TEST(SimOptions, BadOptionsAreRefusedWithAReason)
{
    const BadCase cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--"}, "unexpected argument '--'"},
        {{"--link"}, "--link needs a value"},
        {{"--link="}, "--link needs a path"},
        {{"--stdin=yes"}, "--stdin takes no value"},
        {{"--max-current", "abc"}, "--max-current: expected an integer from 1 to 65535, got 'abc'"},
        {{"--max-current", "0"}, "--max-current: expected an integer from 1 to 65535, got '0'"},
        {{"--max-current", "12x"}, "--max-current: expected an integer from 1 to 65535, got '12x'"},
        {{"--latency-ms", "-1"}, "--latency-ms: expected an integer from 0 to 60000, got '-1'"},
        {{"--mode", "auto"}, "--mode: expected acc or apc, got 'auto'"},
        {{"--output=1"}, "--output: expected on or off, got '1'"},
        {{"--input-dbm", "nan"}, "--input-dbm: expected a number from -70.00 to 40.00, got 'nan'"},
        {{"--ramp-ma-per-s", "0"}, "--ramp-ma-per-s: expected a number from 0.10 to 1000000.00, got '0'"},
        {{"--target-current", "7000"}, "target-current 7000 is above max-current 6000"},
        {{"--min-power", "30", "--max-power", "20"}, "min-power 30.00 is above max-power 20.00"},
        {{"--target-power", "45"}, "target-power 45.00 is outside min-power 10.00 .. max-power 40.00"},
    };
    for (const BadCase& c : cases) {
        sim::Options o;
        std::string error;
        EXPECT_EQ(sim::ParseOptions(c.args, o, error), sim::ParseStatus::BAD) << c.args[0];
        EXPECT_EQ(error, c.error);
    }
}

TEST(SimOptions, GoodOptionsLandInTheirFields)
{
    sim::Options o;
    std::string error;
    const std::vector<std::string> args = {
        "--link", "/tmp/p/com5", "--control=/tmp/ctl", "--log", "/tmp/log", "--stdin", "--verbose",
        "--max-current=3000", "--target-current", "2000", "--mode", "apc", "--output", "on",
        "--target-power", "33.5", "--input-dbm", "-3.5", "--ambient-c", "30", "--selector", "2",
        "--ramp-ma-per-s", "250", "--latency-ms", "0"};
    ASSERT_EQ(sim::ParseOptions(args, o, error), sim::ParseStatus::RUN) << error;
    EXPECT_EQ(o.linkPath, "/tmp/p/com5");
    EXPECT_EQ(o.controlPath, "/tmp/ctl");
    EXPECT_EQ(o.logPath, "/tmp/log");
    EXPECT_TRUE(o.useStdin);
    EXPECT_TRUE(o.verbose);
    EXPECT_TRUE(o.devicePath.empty());
    EXPECT_EQ(o.setup.maxCurrent, 3000);
    EXPECT_EQ(o.setup.targetCurrent, 2000);
    EXPECT_EQ(o.setup.mode, sim::MODE_APC);
    EXPECT_EQ(o.setup.output, sim::OUTPUT_ON);
    EXPECT_EQ(o.setup.targetPowerRaw, 10350);
    EXPECT_DOUBLE_EQ(o.setup.inputDbm, -3.5);
    EXPECT_DOUBLE_EQ(o.setup.ambientC, 30.0);
    EXPECT_EQ(o.setup.selector, 2);
    EXPECT_DOUBLE_EQ(o.setup.rampMaPerS, 250.0);
    EXPECT_EQ(o.setup.latencyMs, 0);

    sim::Options h;
    EXPECT_EQ(sim::ParseOptions({"--max-current", "1", "--help"}, h, error), sim::ParseStatus::HELP);
}

class FakeLine : public sim::LineControl {
public:
    bool Plugged() const override { return plugged; }
    std::string LinePath() const override { return plugged ? "/dev/pts/9" : ""; }
    std::string LinkPath() const override { return "/tmp/com5"; }
    std::string Unplug(SimTime) override
    {
        plugged = false;
        return {};
    }
    std::string Replug(SimTime) override
    {
        if (failReplug)
            return "cannot open /dev/ttyUSB0";
        plugged = true;
        return {};
    }
    void Quit(SimTime) override { quit = true; }

    bool plugged = true;
    bool failReplug = false;
    bool quit = false;
};

TEST(SimControl, CommandsAndTheirReplies)
{
    Harness h;
    FakeLine line;
    const struct {
        const char* command;
        const char* reply;
    } cases[] = {
        {"", ""},
        {"set input-dbm -3.5", "ok input-dbm -3.50"},
        {"set max-current 1000", "ok max-current 1000"},
        {"set target-current 2000", "ok target-current 1000"},  // held to the maximum, as from the panel
        {"set selector 2", "ok selector 2"},
        {"set mode apc", "ok mode apc"},
        {"set colour red", "error: unknown field 'colour'"},
        {"set selector 256", "error: selector: expected an integer from 0 to 255, got '256'"},
        {"set selector", "error: usage: set NAME VALUE"},
        {"fault late 300 2", "ok fault late 300 2"},
        {"fault no-reply on", "ok fault no-reply on"},
        {"fault garbage", "ok fault garbage 1"},
        {"fault split", "error: fault split needs ms from 0 to 60000"},
        {"fault selector 300", "error: fault selector needs n from 0 to 255"},
        {"fault truncate 0", "error: fault count must be 1 to 1000000 or 'on', got '0'"},
        {"fault truncate 2 3", "error: unexpected '3'"},
        {"fault melt", "error: unknown fault 'melt'"},
        {"fault clear no-reply", "ok fault clear no-reply"},
        {"unplug", "ok unplugged"},
        {"unplug", "error: already unplugged"},
        {"replug", "ok line /dev/pts/9"},
        {"replug", "error: already plugged"},
        {"state now", "error: state takes no arguments"},
        {"dance", "error: unknown command 'dance'"},
        {"quit", "ok quit"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::ExecuteControl(c.command, Ms(10), h.engine, line), c.reply) << c.command;
    EXPECT_TRUE(line.quit);
    const sim::FaultSet& f = h.engine.Faults();
    EXPECT_TRUE(f.Get(sim::FaultKind::LATE).active);
    EXPECT_TRUE(f.Get(sim::FaultKind::GARBAGE).active);
    EXPECT_FALSE(f.Get(sim::FaultKind::NO_REPLY).active);
    EXPECT_EQ(h.engine.Model().Setup().mode, sim::MODE_APC);

    line.plugged = false;
    line.failReplug = true;
    EXPECT_EQ(sim::ExecuteControl("replug", 0, h.engine, line), "error: cannot open /dev/ttyUSB0");
}

TEST(SimControl, StateIsOneLineOfJsonWithTheWholeState)
{
    sim::AmpSetup s = RunningSetup();
    s.ambientC = 30.0;
    Harness h(s);
    FakeLine line;
    h.Exchange(0, proto::MakeQueryFrame(proto::CMD_QUERY_STATUS));
    h.Send(Ms(300), Bytes{0x01, 0x02});
    sim::ExecuteControl("fault late 200 on", Ms(400), h.engine, line);
    const std::string json = sim::ExecuteControl("state", Ms(500), h.engine, line);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    const char* expected[] = {
        "\"time\":0.500000",  "\"plugged\":true",         "\"line\":\"/dev/pts/9\"",   "\"link\":\"/tmp/com5\"",
        "\"mode\":\"acc\"",   "\"output\":\"on\"",        "\"target_current_ma\":1500", "\"current_ma\":1500",
        "\"max_current_ma\":6000", "\"target_power_dbm\":37.00", "\"target_power_raw\":10700",
        "\"input_dbm\":0.00", "\"input_raw\":7000",       "\"output_dbm\":33.39",       "\"output_raw\":10339",
        "\"temperature_c\":33.00", "\"temperature_raw\":3300", "\"ambient_c\":30.00",  "\"selector\":1",
        "\"latency_ms\":5",
        "\"faults\":[{\"kind\":\"late\",\"value\":200,\"remaining\":\"on\"}]",
        "\"frames\":{\"rx\":1,\"rx_bad\":1,\"tx\":1}",
    };
    for (const char* field : expected)
        EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
}

TEST(SimControl, ChangesAreLoggedAsEvents)
{
    Harness h;
    FakeLine line;
    sim::ExecuteControl("set ambient-c 31", Ms(1), h.engine, line);
    sim::ExecuteControl("fault split 40 on", Ms(2), h.engine, line);
    sim::ExecuteControl("fault clear", Ms(3), h.engine, line);
    sim::ExecuteControl("state", Ms(4), h.engine, line);
    EXPECT_EQ(h.lines, (std::vector<std::string>{"0.001000 EVENT set ambient-c 31.00\n",
                                                 "0.002000 EVENT fault split 40 on\n",
                                                 "0.003000 EVENT fault clear\n"}));
}

}  // namespace
