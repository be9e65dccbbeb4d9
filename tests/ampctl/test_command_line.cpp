// ampctl's command line: what each form of README "From scripts" parses to, and what is a usage
// error. The forms scripts use must keep parsing as they did with the earlier parser (CLI11).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ampctl/CommandLine.h"

using namespace ampctl;

namespace {

using Words = std::vector<std::string>;

ParseResult Parse(const Words& words, const char* environment = nullptr)
{
    return ParseCommandLine(words, environment);
}

struct RunCase {
    Words words;
    std::string port;
    std::string value;
    double timeoutS;
    CommandKind command;
    bool json;
};

TEST(CommandLine, CommandsAndGlobalOptionsAnywhere)
{
    // Catches: a global option refused after the command, an attached value (-pX, --port=X) taken
    // as a name, a negative number taken for an option.
    const RunCase cases[] = {
        {{"-p", "/dev/ttyUSB0", "status"}, "/dev/ttyUSB0", "", 2.0, CommandKind::kStatus, false},
        {{"-pCOM5", "status"}, "COM5", "", 2.0, CommandKind::kStatus, false},
        {{"--port", "COM5", "ports"}, "COM5", "", 2.0, CommandKind::kPorts, false},
        {{"--port=COM5", "status"}, "COM5", "", 2.0, CommandKind::kStatus, false},
        {{"status", "-p", "COM5", "--json"}, "COM5", "", 2.0, CommandKind::kStatus, true},
        {{"--json", "-p", "COM5", "--timeout", "0.5", "status"}, "COM5", "", 0.5, CommandKind::kStatus, true},
        {{"-p", "COM5", "--timeout=1e1", "status"}, "COM5", "", 10.0, CommandKind::kStatus, false},
        {{"-p", "COM5", "--json", "--json", "status"}, "COM5", "", 2.0, CommandKind::kStatus, true},
        {{"-p", "COM5", "set-current", "1200"}, "COM5", "1200", 2.0, CommandKind::kSetCurrent, false},
        {{"-p", "COM5", "set-current", "-5"}, "COM5", "-5", 2.0, CommandKind::kSetCurrent, false},
        {{"-p", "COM5", "set-current", "--", "-5"}, "COM5", "-5", 2.0, CommandKind::kSetCurrent, false},
        {{"-p", "COM5", "set-current", "--json", "100"}, "COM5", "100", 2.0, CommandKind::kSetCurrent, true},
        {{"-p", "COM5", "set-power", "-3.5"}, "COM5", "-3.5", 2.0, CommandKind::kSetPower, false},
        {{"-p", "COM5", "set-power", "-.5"}, "COM5", "-.5", 2.0, CommandKind::kSetPower, false},
        {{"-p", "COM5", "mode", "apc"}, "COM5", "apc", 2.0, CommandKind::kMode, false},
        {{"-p", "COM5", "output", "off"}, "COM5", "off", 2.0, CommandKind::kOutput, false},
        {{"-p", "COM5", "status", "--"}, "COM5", "", 2.0, CommandKind::kStatus, false},
        {{"-p", "tcp://[::1]:5025", "alarms"}, "tcp://[::1]:5025", "", 2.0, CommandKind::kAlarms, false},
        {{"--json", "alarms", "-p", "tcp://h:1"}, "tcp://h:1", "", 2.0, CommandKind::kAlarms, true},
        {{"clear-alarms", "--port=tcp://h:1"}, "tcp://h:1", "", 2.0, CommandKind::kClearAlarms, false},
    };
    for (const RunCase& c : cases) {
        const ParseResult r = Parse(c.words);
        ASSERT_EQ(r.outcome, Parsed::kRun) << c.words[0] << " ... " << r.error;
        EXPECT_EQ(r.options.command, c.command) << c.words.back();
        EXPECT_EQ(r.options.port, c.port) << c.words.back();
        EXPECT_EQ(r.options.value, c.value) << c.words.back();
        EXPECT_EQ(r.options.json, c.json) << c.words.back();
        EXPECT_DOUBLE_EQ(r.options.timeoutS, c.timeoutS) << c.words.back();
    }
}

TEST(CommandLine, WatchOptions)
{
    ParseResult r = Parse({"-p", "COM5", "watch"});
    ASSERT_EQ(r.outcome, Parsed::kRun) << r.error;
    EXPECT_EQ(r.options.command, CommandKind::kWatch);
    EXPECT_DOUBLE_EQ(r.options.intervalS, 1.0);
    EXPECT_EQ(r.options.count, 0);
    EXPECT_FALSE(r.options.csv);

    r = Parse({"watch", "--interval", "0.2", "--count=12", "--csv", "-p", "COM5"});
    ASSERT_EQ(r.outcome, Parsed::kRun) << r.error;
    EXPECT_DOUBLE_EQ(r.options.intervalS, 0.2);
    EXPECT_EQ(r.options.count, 12);
    EXPECT_TRUE(r.options.csv);

    r = Parse({"-p", "COM5", "watch", "--interval=86400", "--count", "1000000000"});
    ASSERT_EQ(r.outcome, Parsed::kRun) << r.error;
    EXPECT_DOUBLE_EQ(r.options.intervalS, 86400.0);
    EXPECT_EQ(r.options.count, 1000000000);
}

TEST(CommandLine, PortFromTheEnvironmentUnlessGiven)
{
    EXPECT_EQ(Parse({"status"}, "/dev/ttyS1").options.port, "/dev/ttyS1");
    EXPECT_EQ(Parse({"-p", "/dev/ttyS2", "status"}, "/dev/ttyS1").options.port, "/dev/ttyS2");
    // An empty -p stays empty (ampctl then says there is no port) rather than falling back.
    EXPECT_EQ(Parse({"-p", "", "status"}, "/dev/ttyS1").options.port, "");
    EXPECT_EQ(Parse({"status"}).options.port, "");
}

TEST(CommandLine, TokenFileBeforeOrAfterTheCommand)
{
    const std::pair<Words, std::string> cases[] = {
        {{"--token-file", "/etc/amp/token", "output", "off"}, "/etc/amp/token"},
        {{"output", "off", "--token-file=t"}, "t"},
        {{"status"}, ""},
    };
    for (const auto& [words, file] : cases) {
        const ParseResult r = Parse(words, "tcp://h:1");
        ASSERT_EQ(r.outcome, Parsed::kRun) << r.error;
        EXPECT_EQ(r.options.tokenFile, file) << words.back();
    }
}

TEST(CommandLine, HelpAndVersionWhereverTheyStand)
{
    const std::pair<Words, Parsed> cases[] = {
        {{"-h"}, Parsed::kHelp},
        {{"--help"}, Parsed::kHelp},
        {{"status", "--help"}, Parsed::kHelp},
        {{"-p", "COM5", "set-current", "-h"}, Parsed::kHelp},
        {{"status", "--bogus", "--help"}, Parsed::kHelp},
        {{"--version"}, Parsed::kVersion},
        {{"status", "--version"}, Parsed::kVersion},
        {{"--version", "--help"}, Parsed::kVersion},
        // After "--" they are arguments.
        {{"-p", "COM5", "mode", "--", "--help"}, Parsed::kUsageError},
    };
    for (const auto& [words, outcome] : cases)
        EXPECT_EQ(Parse(words).outcome, outcome) << words.back();
}

TEST(CommandLine, UsageErrors)
{
    // Each is refused with a one-line reason (exit 2, nothing sent). Catches: a command or value
    // guessed from a prefix or another case, an option of watch taken elsewhere, a repeated option
    // silently overriding the first, a non-finite or out-of-range time, a count in another base.
    const Words cases[] = {
        {},
        {"bogus"},
        {"help"},
        {"STATUS"},
        {"stat"},
        {"--", "status"},
        {"-V"},
        {"-x", "status"},
        {"--js", "status"},
        {"status", "--bogus"},
        {"status", "extra"},
        {"status", "status"},
        {"ports", "x"},
        {"-p"},
        {"status", "-p"},
        {"-p", "--json", "status"},
        {"-p", "a", "-p", "b", "status"},
        {"-p", "a", "--port", "b", "status"},
        {"--json=true", "status"},
        {"--timeout", "0", "status"},
        {"--timeout", "0.0009", "status"},
        {"--timeout", "86401", "status"},
        {"--timeout", "-1", "status"},
        {"--timeout", "abc", "status"},
        {"--timeout", "nan", "status"},
        {"--timeout", "inf", "status"},
        {"--timeout", "1 ", "status"},
        {"--timeout", "", "status"},
        {"--timeout", "1", "--timeout", "2", "status"},
        {"status", "--timeout"},
        {"--csv", "watch"},
        {"status", "--csv"},
        {"--interval", "1", "watch"},
        {"status", "--count", "1"},
        {"watch", "--interval", "0.1"},
        {"watch", "--interval", "86401"},
        {"watch", "--interval"},
        {"watch", "--csv=yes"},
        {"watch", "--count", "0"},
        {"watch", "--count", "-1"},
        {"watch", "--count", "1.5"},
        {"watch", "--count", "1e3"},
        {"watch", "--count", "0x10"},
        {"watch", "--count", "1000000001"},
        {"watch", "--count", "99999999999999999999"},
        {"watch", "--count", "+"},
        {"watch", "--count", "2", "--count", "3"},
        {"set-current"},
        {"set-current", "100", "200"},
        {"set-power"},
        {"set-power", "-e"},
        {"mode"},
        {"mode", "ACC"},
        {"mode", "acc", "apc"},
        {"output"},
        {"output", "ON"},
        {"output", "maybe"},
        {"alarms", "x"},
        {"clear-alarms", "all"},
        {"ALARMS"},
        {"--token-file"},
        {"--token-file=", "status"},
        {"--token-file", "a", "--token-file", "b", "status"},
        {"clear-alarms", "--token-file", "-t"},
    };
    for (const Words& words : cases) {
        const ParseResult r = Parse(words, "COM5");
        std::string shown;
        for (const std::string& w : words)
            shown += "[" + w + "]";
        EXPECT_EQ(r.outcome, Parsed::kUsageError) << shown;
        EXPECT_FALSE(r.error.empty()) << shown;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << shown;
    }
}

TEST(CommandLine, BoundsAccepted)
{
    EXPECT_DOUBLE_EQ(Parse({"--timeout", "0.001", "status"}).options.timeoutS, 0.001);
    EXPECT_DOUBLE_EQ(Parse({"--timeout", "86400", "status"}).options.timeoutS, 86400.0);
    EXPECT_EQ(Parse({"watch", "--count", "+5"}).options.count, 5);
    EXPECT_EQ(Parse({"watch", "--count", "010"}).options.count, 10);  // decimal, not octal
}

}  // namespace
