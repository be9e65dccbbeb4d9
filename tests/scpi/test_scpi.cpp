// The SCPI command line clients send to ampd: what each command, compound line and parameter
// parses to, which error each fault gives, and that hostile bytes give errors, not harm. Every
// parse here is also held to what any parse must keep: printable texts, the token never shown.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "scpi/Parser.h"

using namespace scpi;

namespace {

using C = Command;

const std::map<int, std::string> kStandardTexts = {
    {-102, "Syntax error"},
    {-104, "Data type error"},
    {-108, "Parameter not allowed"},
    {-109, "Missing parameter"},
    {-113, "Undefined header"},
    {-222, "Data out of range"},
    {-224, "Illegal parameter value"},
};

bool Printable(const std::string& text)
{
    for (const char c : text)
        if (c < ' ' || c > '~')
            return false;
    return true;
}

std::vector<Item> Parse(const std::string& line)
{
    std::vector<Item> items = ParseLine(line);
    for (const Item& item : items) {
        if (const auto* request = std::get_if<Request>(&item)) {
            EXPECT_TRUE(Printable(request->text)) << line;
            if (request->command == C::kAuthenticate) {
                EXPECT_EQ(request->text, "SYST:AUTH <token>") << line;
            }
            continue;
        }
        const auto& error = std::get<Error>(item);
        const auto standard = kStandardTexts.find(error.code);
        if (standard == kStandardTexts.end()) {
            ADD_FAILURE() << line << " gave " << error.code;
            continue;
        }
        EXPECT_EQ(error.text.substr(0, error.text.find(';')), standard->second) << line;
        EXPECT_LE(error.text.size(), standard->second.size() + 1 + 40) << line;
        EXPECT_TRUE(Printable(FormatError(error))) << line;
        EXPECT_EQ(error.text.find('"'), std::string::npos) << line;
    }
    return items;
}

// Requests as their text, errors as their code: "SOUR:CURR 500|-113".
std::string Summary(const std::string& line)
{
    std::string summary;
    for (const Item& item : Parse(line)) {
        if (!summary.empty())
            summary += '|';
        if (const auto* request = std::get_if<Request>(&item))
            summary += request->text;
        else
            summary += std::to_string(std::get<Error>(item).code);
    }
    return summary;
}

Request One(const std::string& line)
{
    const std::vector<Item> items = Parse(line);
    if (items.size() != 1 || !std::holds_alternative<Request>(items[0])) {
        ADD_FAILURE() << line << " gave " << Summary(line);
        return {};
    }
    return std::get<Request>(items[0]);
}

struct CommandCase {
    const char* line;
    Command command;
    bool query;
    const char* text;
};

TEST(ScpiCommands, EachInLongShortAndMixedCase)
{
    // Catches: a row mapped to the wrong command, a long or short form refused, case mattering.
    const CommandCase cases[] = {
        {"*IDN?", C::kIdentify, true, "*IDN?"},
        {"*idn?", C::kIdentify, true, "*IDN?"},
        {"*OPC?", C::kOperationComplete, true, "*OPC?"},
        {"*Opc?", C::kOperationComplete, true, "*OPC?"},
        {"MEASURE:CURRENT?", C::kMeasureCurrent, true, "MEAS:CURR?"},
        {"MEAS:CURR?", C::kMeasureCurrent, true, "MEAS:CURR?"},
        {"meas:Current?", C::kMeasureCurrent, true, "MEAS:CURR?"},
        {"MEASURE:POWER:INPUT?", C::kMeasureInput, true, "MEAS:POW:INP?"},
        {"MEAS:POW:INP?", C::kMeasureInput, true, "MEAS:POW:INP?"},
        {"measure:pow:Input?", C::kMeasureInput, true, "MEAS:POW:INP?"},
        {"MEASURE:POWER:OUTPUT?", C::kMeasureOutput, true, "MEAS:POW:OUTP?"},
        {"MEAS:POW:OUTP?", C::kMeasureOutput, true, "MEAS:POW:OUTP?"},
        {"Meas:Power:outp?", C::kMeasureOutput, true, "MEAS:POW:OUTP?"},
        {"MEASURE:TEMPERATURE?", C::kMeasureTemperature, true, "MEAS:TEMP?"},
        {"MEAS:TEMP?", C::kMeasureTemperature, true, "MEAS:TEMP?"},
        {"meas:temperature?", C::kMeasureTemperature, true, "MEAS:TEMP?"},
        {"MEASURE?", C::kMeasureAll, true, "MEAS?"},
        {"MEAS?", C::kMeasureAll, true, "MEAS?"},
        {"Measure?", C::kMeasureAll, true, "MEAS?"},
        {"SOURCE:CURRENT?", C::kCurrent, true, "SOUR:CURR?"},
        {"SOUR:CURR?", C::kCurrent, true, "SOUR:CURR?"},
        {"source:Curr?", C::kCurrent, true, "SOUR:CURR?"},
        {"SOURCE:CURRENT 1", C::kCurrent, false, "SOUR:CURR 1"},
        {"SOUR:CURR 1", C::kCurrent, false, "SOUR:CURR 1"},
        {"sour:current 1", C::kCurrent, false, "SOUR:CURR 1"},
        {"SOURCE:CURRENT:MAXIMUM?", C::kCurrentMaximum, true, "SOUR:CURR:MAX?"},
        {"SOUR:CURR:MAX?", C::kCurrentMaximum, true, "SOUR:CURR:MAX?"},
        {"Sour:Curr:Maximum?", C::kCurrentMaximum, true, "SOUR:CURR:MAX?"},
        {"SOURCE:POWER?", C::kPower, true, "SOUR:POW?"},
        {"SOUR:POW?", C::kPower, true, "SOUR:POW?"},
        {"SOURCE:POWER 1", C::kPower, false, "SOUR:POW 1"},
        {"Sour:Pow 1", C::kPower, false, "SOUR:POW 1"},
        {"SOURCE:MODE?", C::kMode, true, "SOUR:MODE?"},
        {"sour:mode?", C::kMode, true, "SOUR:MODE?"},
        {"SOURCE:MODE ACC", C::kMode, false, "SOUR:MODE ACC"},
        {"sour:Mode ACC", C::kMode, false, "SOUR:MODE ACC"},
        {"OUTPUT?", C::kOutput, true, "OUTP?"},
        {"outp?", C::kOutput, true, "OUTP?"},
        {"OUTPUT ON", C::kOutput, false, "OUTP ON"},
        {"Outp ON", C::kOutput, false, "OUTP ON"},
        {"SYSTEM:ERROR?", C::kError, true, "SYST:ERR?"},
        {"SYST:ERR?", C::kError, true, "SYST:ERR?"},
        {"system:Err?", C::kError, true, "SYST:ERR?"},
        {"SYSTEM:ERROR:NEXT?", C::kError, true, "SYST:ERR:NEXT?"},
        {"syst:err:next?", C::kError, true, "SYST:ERR:NEXT?"},
        {"SYSTEM:AUTHENTICATE x", C::kAuthenticate, false, "SYST:AUTH <token>"},
        {"SYST:AUTH x", C::kAuthenticate, false, "SYST:AUTH <token>"},
        {"system:Auth x", C::kAuthenticate, false, "SYST:AUTH <token>"},
        {"LINK?", C::kLink, true, "LINK?"},
        {"link?", C::kLink, true, "LINK?"},
        {"ALARM?", C::kAlarm, true, "ALAR?"},
        {"ALAR?", C::kAlarm, true, "ALAR?"},
        {"alarm?", C::kAlarm, true, "ALAR?"},
        {"ALARM:CLEAR", C::kAlarmClear, false, "ALAR:CLE"},
        {"ALAR:CLE", C::kAlarmClear, false, "ALAR:CLE"},
        {"alarm:Clear", C::kAlarmClear, false, "ALAR:CLE"},
    };
    for (const CommandCase& c : cases) {
        const Request r = One(c.line);
        EXPECT_EQ(r.command, c.command) << c.line;
        EXPECT_EQ(r.query, c.query) << c.line;
        EXPECT_EQ(r.text, c.text) << c.line;
    }
}

TEST(ScpiPaths, CompoundLines)
{
    // Catches: a relative header taken from the root or from the whole previous header, a common
    // command or an error moving the path, ':' not resetting it, a ';' inside a string splitting
    // the line, a non-syntax error stopping the line or a syntax error not stopping it.
    const std::pair<const char*, const char*> cases[] = {
        {"SOUR:CURR 500;POW 20", "SOUR:CURR 500|SOUR:POW 20"},
        {"MEAS:POW:INP?;OUTP?", "MEAS:POW:INP?|MEAS:POW:OUTP?"},
        {"MEAS:POW:INP?;:OUTP?", "MEAS:POW:INP?|OUTP?"},
        {"MEAS:CURR?;TEMP?;POW:INP?;OUTP?", "MEAS:CURR?|MEAS:TEMP?|MEAS:POW:INP?|MEAS:POW:OUTP?"},
        {"SOUR:CURR 5;*OPC?;POW 3;*IDN?;MODE APC", "SOUR:CURR 5|*OPC?|SOUR:POW 3|*IDN?|SOUR:MODE APC"},
        {"SOUR:CURR:MAX?;POW?", "SOUR:CURR:MAX?|-113"},
        {"SOUR:CURR:MAX?;:SOUR:POW?", "SOUR:CURR:MAX?|SOUR:POW?"},
        {"SOUR:CURR?;CURR:MAX?", "SOUR:CURR?|SOUR:CURR:MAX?"},
        {"MEAS?;CURR?", "MEAS?|-113"},
        {"MEAS:CURR?;SOUR:CURR?", "MEAS:CURR?|-113"},
        {"MEAS:CURR?;:SOUR:CURR?", "MEAS:CURR?|SOUR:CURR?"},
        {"SYST:ERR?;ERR:NEXT?;AUTH 'x'", "SYST:ERR?|SYST:ERR:NEXT?|-113"},
        {"SYST:ERR?;AUTH 'x'", "SYST:ERR?|SYST:AUTH <token>"},
        {"ALAR?;ALAR:CLE;:LINK?;:OUTP 1", "ALAR?|ALAR:CLE|LINK?|OUTP 1"},
        {"ALAR:CLE;LINK?", "ALAR:CLE|-113"},
        {"SOUR:FOO 1;CURR 5", "-113|-113"},
        {"SOUR:CURR 5;FOO 1;POW 2", "SOUR:CURR 5|-113|SOUR:POW 2"},
        {"SOUR:CURR ON;POW 2", "-104|SOUR:POW 2"},
        {"SOUR:CURR:MAX 5;POW?", "-113|-113"},
        {"OUTP 2;OUTP 1", "-224|OUTP 1"},
        {"OUTP 1;MEAS:CURR? x y;OUTP 0", "OUTP 1|-102"},
        {"*IDN?;;*OPC?", "*IDN?|-102"},
        {"*IDN?;", "*IDN?"},
        {"  *IDN? ;\t*OPC?  \r\n", "*IDN?|*OPC?"},
        {"*IDN?\n", "*IDN?"},
        {"SYST:AUTH \"a;b\";*IDN?", "SYST:AUTH <token>|*IDN?"},
        {"FOO 'x;y';*IDN?", "-113|*IDN?"},
        {"", ""},
        {" \t\r\n", ""},
    };
    for (const auto& [line, summary] : cases)
        EXPECT_EQ(Summary(line), summary) << line;
}

TEST(ScpiParameters, Numbers)
{
    // Catches: a decimal form refused, a '+' or exponent misread, blanks between header and value
    // or tabs not taken, the written form lost from the text, a tiny number refused.
    const std::tuple<const char*, double, const char*> cases[] = {
        {"SOUR:CURR 1500", 1500.0, "SOUR:CURR 1500"},
        {"SOUR:CURR +1.5E3", 1500.0, "SOUR:CURR +1.5E3"},
        {"SOUR:POW -3.25", -3.25, "SOUR:POW -3.25"},
        {"SOUR:POW .5", 0.5, "SOUR:POW .5"},
        {"SOUR:POW 5.", 5.0, "SOUR:POW 5."},
        {"SOUR:POW -.5e-1", -0.05, "SOUR:POW -.5e-1"},
        {"SOUR:POW 1e+2", 100.0, "SOUR:POW 1e+2"},
        {"SOUR:POW 0.1", 0.1, "SOUR:POW 0.1"},
        {"SOUR:CURR 0010", 10.0, "SOUR:CURR 0010"},
        {"SOUR:CURR   7  ", 7.0, "SOUR:CURR 7"},
        {"SOUR:CURR\t7", 7.0, "SOUR:CURR 7"},
        {"SOUR:CURR 123456789012345678901234567890", 123456789012345678901234567890.0,
            "SOUR:CURR 123456789012345678901234567890"},
        {"SOUR:CURR 1e-400", 0.0, "SOUR:CURR 1e-400"},
        {"SOUR:CURR 0.0000000001e-390", 0.0, "SOUR:CURR 0.0000000001e-390"},
        {"SOUR:CURR 1.7976931348623157e308", 1.7976931348623157e308, "SOUR:CURR 1.7976931348623157e308"},
    };
    for (const auto& [line, value, text] : cases) {
        const Request r = One(line);
        ASSERT_TRUE(r.number.has_value()) << line;
        EXPECT_EQ(*r.number, value) << line;
        EXPECT_EQ(r.text, text) << line;
        EXPECT_FALSE(r.on.has_value() || r.mode.has_value()) << line;
    }
}

TEST(ScpiParameters, SwitchAndMode)
{
    const std::pair<const char*, bool> switches[] = {
        {"OUTP ON", true},
        {"OUTP on", true},
        {"OUTP On", true},
        {"OUTP OFF", false},
        {"OUTP off", false},
        {"OUTP 1", true},
        {"OUTP 0", false},
        {"OUTP +1", true},
        {"OUTP 1.0", true},
        {"OUTP 0e3", false},
    };
    for (const auto& [line, on] : switches) {
        const Request r = One(line);
        ASSERT_TRUE(r.on.has_value()) << line;
        EXPECT_EQ(*r.on, on) << line;
        EXPECT_FALSE(r.number.has_value()) << line;
    }
    const std::pair<const char*, std::uint8_t> modes[]
        = {{"SOUR:MODE ACC", 1}, {"SOUR:MODE acc", 1}, {"SOUR:MODE APC", 0}, {"SOUR:MODE Apc", 0}};
    for (const auto& [line, mode] : modes) {
        const Request r = One(line);
        ASSERT_TRUE(r.mode.has_value()) << line;
        EXPECT_EQ(*r.mode, mode) << line;
    }
}

TEST(ScpiParameters, Tokens)
{
    // Catches: quotes left on, a doubled quote not halved, a ';' or blank in a string cutting it,
    // a bare word limited to letters, bytes of a string changed.
    const std::pair<std::string, std::string> cases[] = {
        {"SYST:AUTH s3cret", "s3cret"},
        {"SYST:AUTH a-b_c.d/e+f=:#!", "a-b_c.d/e+f=:#!"},
        {"SYST:AUTH 12345", "12345"},
        {"SYST:AUTH \"a b\"", "a b"},
        {"SYST:AUTH 'a b'", "a b"},
        {"SYST:AUTH \"a\"\"b\"", "a\"b"},
        {"SYST:AUTH 'it''s'", "it's"},
        {"SYST:AUTH \"it's\"", "it's"},
        {"SYST:AUTH \"a;b,c\"", "a;b,c"},
        {"SYST:AUTH \"\"", ""},
        {"SYST:AUTH   'x'  ", "x"},
        {std::string("SYST:AUTH \"\xff\0\x01\"", 15), std::string("\xff\0\x01", 3)},
    };
    for (const auto& [line, token] : cases) {
        const Request r = One(line);
        EXPECT_EQ(r.token, token) << line;
    }
}

TEST(ScpiErrors, EachCodeAndItsCause)
{
    // Each line is one unit and gives exactly this error.
    const std::pair<std::string, int> cases[] = {
        {";", -102},
        {":::", -102},
        {"MEAS::CURR?", -102},
        {"MEAS:?", -102},
        {"MEAS: CURR?", -102},
        {"MEAS:CURR? ?", -102},
        {"?", -102},
        {"*", -102},
        {":*IDN?", -102},
        {"*IDN?x", -102},
        {"*IDN:X?", -102},
        {"OUTP,1", -102},
        {"OUTP\"1\"", -102},
        {"OUTP 1 0", -102},
        {"OUTP ,1", -102},
        {"OUTP 1,", -102},
        {"SOUR:CURR 1e", -102},
        {"SOUR:CURR +", -102},
        {"SOUR:CURR -.", -102},
        {"SOUR:CURR 0x10", -102},
        {"SOUR:CURR 1.5mA", -102},
        {"SOUR:CURR 1..5", -102},
        {"SOUR:CURR 1.5 E3", -102},
        {"SOUR:CURR (1)", -102},
        {"SYST:AUTH \"abc", -102},
        {"SYST:AUTH 'abc\"", -102},
        {"SYST:AUTH a b", -102},
        {"SYST:AUTH ab\"c\"", -102},
        {"SYST:AUTH caf\xc3\xa9", -102},
        {"SOUR:CURR ON", -104},
        {"SOUR:CURR nan", -104},
        {"SOUR:CURR inf", -104},
        {"SOUR:CURR MAX", -104},
        {"SOUR:CURR \"5\"", -104},
        {"SOUR:CURR #H10", -104},
        {"SOUR:MODE 1", -104},
        {"SOUR:MODE 'ACC'", -104},
        {"OUTP \"ON\"", -104},
        {"*IDN? 1", -108},
        {"MEAS? x", -108},
        {"OUTP? ON", -108},
        {"ALAR:CLE 1", -108},
        {"SOUR:CURR 1,5", -108},
        {"OUTP ON,OFF", -108},
        {"SYST:AUTH a,b", -108},
        {"SOUR:CURR", -109},
        {"SOUR:CURR   ", -109},
        {"SOUR:POW", -109},
        {"SOUR:MODE", -109},
        {"OUTP", -109},
        {"SYST:AUTH", -109},
        {"FOO", -113},
        {"*RST", -113},
        {"*OPC", -113},
        {"*IDN", -113},
        {"MEASU?", -113},
        {"MEA:CURR?", -113},
        {"SOURC:CURR 1", -113},
        {"OUTPU?", -113},
        {"MEAS:CURR", -113},
        {"MEAS:POW?", -113},
        {"SOUR?", -113},
        {"MEAS1?", -113},
        {"SOUR:CURR:MAX 5", -113},
        {"MEAS ?", -113},
        {"ALAR:CLE?", -113},
        {"SYST:AUTH? x", -113},
        {"MEAS:POW:INP:X?", -113},
        {"SOUR:CURR 1e999", -222},
        {"SOUR:POW -1e999", -222},
        {"SOUR:CURR 1.8e308", -222},
        {"SOUR:CURR 1" + std::string(400, '0'), -222},
        {"SOUR:CURR 1e99999999999999999999", -222},
        {"OUTP 1e999", -222},
        {"SOUR:MODE XYZ", -224},
        {"SOUR:MODE ACCX", -224},
        {"OUTP 2", -224},
        {"OUTP -1", -224},
        {"OUTP 0.5", -224},
        {"OUTP MAYBE", -224},
    };
    for (const auto& [line, code] : cases)
        EXPECT_EQ(Summary(line), std::to_string(code)) << line;
}

TEST(ScpiErrors, UndefinedHeaderContext)
{
    // Catches: context lost, unprintable or unbounded, or a token glued to its header echoed.
    const std::pair<std::string, std::string> cases[] = {
        {"FOO:BAR?", "Undefined header;FOO:BAR?"},
        {"*RST", "Undefined header;*RST"},
        {"SOUR:CURR 1;FOO 1", "Undefined header;FOO"},
        {std::string(4000, 'A'), "Undefined header;" + std::string(37, 'A') + "..."},
        {"SYST:AUTHs3cret", "Undefined header;SYST:AUTH..."},
        {"syst:authenticates3cret?", "Undefined header;syst:auth..."},
        {"SYST:AUTH:s3cret x", "Undefined header;SYST:AUTH..."},
        {"SYST:ERR?;AUTHs3cret", "Undefined header;AUTH..."},
    };
    for (const auto& [line, text] : cases) {
        const std::vector<Item> items = Parse(line);
        ASSERT_TRUE(!items.empty() && std::holds_alternative<Error>(items.back())) << line;
        EXPECT_EQ(std::get<Error>(items.back()).text, text) << line;
    }
}

TEST(ScpiErrors, Format)
{
    EXPECT_EQ(FormatError({-113, "Undefined header"}), "-113,\"Undefined header\"");
    EXPECT_EQ(FormatError({-113, "Undefined header;FOO"}), "-113,\"Undefined header;FOO\"");
    EXPECT_EQ(FormatError({201, "Clamped"}), "+201,\"Clamped\"");
    EXPECT_EQ(FormatError({0, "No error"}), "0,\"No error\"");
    EXPECT_EQ(FormatError({-200, "a \"b\""}), "-200,\"a \"\"b\"\"\"");
}

TEST(ScpiHostile, BytesAndSizesGiveTheDocumentedErrors)
{
    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += "MEAS:";
    std::string manyQueries;
    for (int i = 0; i < 600; ++i)
        manyQueries += "*IDN?;";
    std::string expectedQueries = "*IDN?";
    for (int i = 1; i < 600; ++i)
        expectedQueries += "|*IDN?";
    const std::pair<std::string, std::string> cases[] = {
        {std::string(4096, ';'), "-102"},
        {std::string(3, '\0'), "-102"},
        {std::string("*IDN?\0", 6), "-102"},
        {std::string("OUTP \0", 6), "-102"},
        {std::string("SOUR:CURR 1\0", 12), "-102"},
        {"\xff\xfe\xfd", "-102"},
        {"\xc3\x28;*IDN?", "-102"},
        {"OUTP\xe2\x82\xac 1", "-102"},
        {"*IDN?\r*OPC?", "-102"},
        {deep + "CURR?", "-113"},
        {std::string(4000, ':'), "-102"},
        {"SOUR:CURR " + std::string(4000, '9'), "-222"},
        {"SOUR:CURR 0." + std::string(4000, '0') + "1", "SOUR:CURR 0." + std::string(4000, '0') + "1"},
        {"SOUR:CURR 1e999;*IDN?", "-222|*IDN?"},
        {"SOUR:POW nan;POW inf;POW -inf", "-104|-104|-102"},
        {"SYST:AUTH " + std::string(4001, '"'), "-102"},
        {"FOO '" + std::string(100, ';'), "-113"},
        {manyQueries, expectedQueries},
    };
    for (const auto& [line, summary] : cases)
        EXPECT_EQ(Summary(line), summary) << line.substr(0, 40);
}

}  // namespace
