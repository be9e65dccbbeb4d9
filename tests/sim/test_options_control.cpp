// Bad options and bad control commands are refused with the reason, good ones are taken.
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
        {{"--link", "/tmp/com5", "--max-current=3000", "--mode", "apc"}, sim::ParseStatus::RUN, ""},
        {{"--bogus"}, sim::ParseStatus::BAD, "unknown option '--bogus'"},
        {{"--link"}, sim::ParseStatus::BAD, "--link needs a value"},
        {{"--max-current", "12x"}, sim::ParseStatus::BAD,
            "--max-current: expected an integer from 1 to 65535, got '12x'"},
        {{"--mode", "auto"}, sim::ParseStatus::BAD, "--mode: expected acc or apc, got 'auto'"},
        {{"--target-current", "7000"}, sim::ParseStatus::BAD, "target-current 7000 is above max-current 6000"},
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
    bool Plugged() const override { return plugged; }
    std::string LinePath() const override { return "/dev/pts/9"; }
    std::string LinkPath() const override { return ""; }
    std::string Unplug(sim::SimTime) override
    {
        plugged = false;
        return {};
    }
    std::string Replug(sim::SimTime) override
    {
        plugged = true;
        return {};
    }
    void Quit(sim::SimTime) override {}
    bool plugged = true;
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
        {"set max-current 1000", "ok max-current 1000"},
        {"set target-current 2000", "ok target-current 1000"},
        {"set colour red", "error: unknown field 'colour'"},
        {"set selector 256", "error: selector: expected an integer from 0 to 255, got '256'"},
        {"fault late 300 2", "ok fault late 300 2"},
        {"fault split", "error: fault split needs ms from 0 to 60000"},
        {"fault melt", "error: unknown fault 'melt'"},
        {"unplug", "ok unplugged"},
        {"unplug", "error: already unplugged"},
        {"dance", "error: unknown command 'dance'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::ExecuteControl(c.command, 0, engine, line), c.reply);
    EXPECT_EQ(engine.Model().Setup().targetCurrent, 1000);
    EXPECT_TRUE(engine.Faults().Get(sim::FaultKind::LATE).active);
}

}  // namespace
