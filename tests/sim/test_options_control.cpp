// Bad options and bad control commands are refused with the reason, good ones are taken.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/Control.h"
#include "sim/Options.h"

namespace {

TEST(SimOptions, BadOptionsAreRefusedWithAReason)
{
    const struct {
        std::vector<std::string> args;
        sim::ParseStatus status;
        const char* error;
    } cases[] = {
        {{"--link", "/tmp/com5", "--max-current=3000", "--mode", "apc"}, sim::ParseStatus::kRun, ""},
        {{"--bogus"}, sim::ParseStatus::kBad, "unknown option '--bogus'"},
        {{"--link"}, sim::ParseStatus::kBad, "--link needs a value"},
        {{"--max-current", "12x"}, sim::ParseStatus::kBad,
            "--max-current: expected an integer from 1 to 65535, got '12x'"},
        {{"--mode", "auto"}, sim::ParseStatus::kBad, "--mode: expected acc or apc, got 'auto'"},
        {{"--target-current", "7000"}, sim::ParseStatus::kBad, "target-current 7000 is above max-current 6000"},
        {{"-h"}, sim::ParseStatus::kHelp, ""}, {{"--output", "on", "--"}, sim::ParseStatus::kRun, ""},
        {{"--", "--help"}, sim::ParseStatus::kBad, "unexpected argument '--help'"},
        {{"--link", "--", "--stdin"}, sim::ParseStatus::kRun, ""},  // "--" as a value is a value
    };
    for (const auto& c : cases) {
        sim::Options o;
        std::string error;
        EXPECT_EQ(sim::ParseOptions(c.args, o, error), c.status) << c.args[0];
        EXPECT_EQ(error, c.error);
    }
}

class FakeLine : public sim::LineControl {
public:
    bool Plugged() const override { return m_plugged; }
    std::string LinePath() const override { return "/dev/pts/9"; }
    std::string LinkPath() const override { return m_link; }
    std::string Unplug(sim::SimTime) override
    {
        m_plugged = false;
        return {};
    }
    std::string Replug(sim::SimTime) override
    {
        m_plugged = true;
        return {};
    }
    std::string Hold(sim::SimTime, bool held) override
    {
        m_held = held;
        return {};
    }
    void Quit(sim::SimTime) override {}
    bool m_held = false;
    bool m_plugged = true;
    std::string m_link;
};

TEST(SimControl, BadCommandsAreRefusedWithAReason)
{
    sim::FrameLog log;
    sim::Engine engine({}, log);
    FakeLine line;
    const struct {
        const char* command;
        const char* reply;
    } cases[] = {
        {"set target-current 800", "ok target-current 800"},
        {"set max-current 1000", "ok max-current 1000"},
        // Limits are checked as on the command line: a conflict is refused and changes nothing.
        {"set target-current 2000", "error: target-current 2000 is above max-current 1000"},
        {"set max-current 700", "error: target-current 800 is above max-current 700"},
        {"set min-power 50", "error: min-power 50.00 is above max-power 40.00"},
        {"set max-power 30", "error: target-power 37.00 is outside min-power 10.00 .. max-power 30.00"},
        {"set target-power 45", "error: target-power 45.00 is outside min-power 10.00 .. max-power 40.00"},
        {"set target-power 20", "ok target-power 20.00"},
        {"set max-power 30", "ok max-power 30.00"},
        {"set colour red", "error: unknown field 'colour'"},
        {"set selector 256", "error: selector: expected an integer from 0 to 255, got '256'"},
        {"fault late 300 2", "ok fault late 300 2"},
        {"fault split", "error: fault split needs ms from 0 to 60000"},
        {"fault melt", "error: unknown fault 'melt'"},
        {"unplug", "ok unplugged"},
        {"unplug", "error: already unplugged"},
        {"hold", "error: hold takes on or off"},
        {"hold maybe", "error: hold takes on or off"},
        {"hold on", "ok hold on"},
        {"announce target-current 650", "ok announce target-current 650"},
        {"announce target-current 65536", "error: announce takes target-current and a current from 0 to 65535"},
        {"announce output on", "error: announce takes target-current and a current from 0 to 65535"},
        {"dance", "error: unknown command 'dance'"},
        // Echoed words come back printable: bad UTF-8 and control characters as \xNN.
        {"set \xff\x01 1", "error: unknown field '\\xFF\\x01'"},
        {"d\xc3\xa9j\xe0 \x1b[2J", "error: unknown command 'd\xc3\xa9j\\xE0'"},
        {"set input-dbm 1\x7f", "error: input-dbm: expected a number from -70.00 to 40.00, got '1\\x7F'"},
        {"fault \xc2\x9b\\", "error: unknown fault '\\xC2\\x9B\\\\'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::ExecuteControl(c.command, 0, engine, line), c.reply);
    EXPECT_TRUE(line.m_held);
    line.m_link = "/tmp/\xff\"\x01\xc3\xa9";
    const std::string state = sim::ExecuteControl("state", 0, engine, line);
    EXPECT_THAT(state, testing::HasSubstr("\"link\":\"/tmp/\\u00ff\\\"\\u0001\xc3\xa9\","));
    for (const char* held : {"\"target_current_ma\":800,", "\"max_current_ma\":1000,", "\"target_power_dbm\":20.00,",
             "\"min_power_dbm\":10.00,\"max_power_dbm\":30.00,", "\"faults\":[{\"kind\":\"late\",\"value\":300,"})
        EXPECT_THAT(state, testing::HasSubstr(held));
}

}  // namespace
