// ampd's command line and its guard rules: what is taken, and the reason for what is not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ampd/Options.h"

using namespace ampd;

namespace {

TEST(AmpdCommandLine, TakesTheContractAndRefusesTheRestWithAReason)
{
    const struct {
        std::vector<std::string> words;
        Parsed outcome;
        const char* error;  // for a usage error
    } cases[] = {
        {{"-p", "/dev/ttyUSB0"}, Parsed::kRun, ""},
        {{"--port=COM3", "--scpi", "[::1]:5025", "--scpi", "127.0.0.1:0"}, Parsed::kRun, ""},
        {{"-p", "x", "--scpi", "0.0.0.0:5025", "--token-file", "t"}, Parsed::kRun, ""},
        {{"-p", "x", "--guard", "max-temp=45,min-input=-30,max-output=40.5,max-current=5000"}, Parsed::kRun, ""},
        {{"status", "--help"}, Parsed::kHelp, ""},
        {{"--version"}, Parsed::kVersion, ""},
        {{}, Parsed::kUsageError, "no port: give -p PORT"},
        {{"-p", "x", "--scpi", "0.0.0.0:5025"}, Parsed::kUsageError,
            "--scpi 0.0.0.0: listening beyond loopback needs --token-file"},
        {{"-p", "x", "--scpi", "::1:5025"}, Parsed::kUsageError,
            "--scpi: '::1:5025' is not ADDR:PORT (127.0.0.1:5025, [::1]:5025)"},
        {{"-p", "x", "--scpi", "localhost:5025"}, Parsed::kUsageError,
            "--scpi: 'localhost:5025' is not ADDR:PORT (127.0.0.1:5025, [::1]:5025)"},
        {{"-p", "x", "--scpi", "127.0.0.1:65536"}, Parsed::kUsageError,
            "--scpi: '127.0.0.1:65536' is not ADDR:PORT (127.0.0.1:5025, [::1]:5025)"},
        {{"-p", "x", "--guard", "max-temp=hot"}, Parsed::kUsageError,
            "--guard: max-temp needs a number, as max-temp=45"},
        {{"-p", "x", "--guard", "max-temp=nan"}, Parsed::kUsageError,
            "--guard: max-temp needs a number, as max-temp=45"},
        {{"-p", "x", "--guard", "max-temp=1,max-temp=2"}, Parsed::kUsageError, "--guard: max-temp given twice"},
        {{"-p", "x", "--guard", "min-temp=1"}, Parsed::kUsageError,
            "--guard: unknown limit 'min-temp' (max-temp, min-input, max-output, max-current)"},
        {{"-p", "x", "--guard", "max-temp=1,"}, Parsed::kUsageError,
            "--guard: unknown limit '' (max-temp, min-input, max-output, max-current)"},
        {{"-p", "x", "-p", "y"}, Parsed::kUsageError, "-p given twice"},
        {{"-p"}, Parsed::kUsageError, "-p needs a value"},
        {{"-p", "x", "--http"}, Parsed::kRun, ""},
        {{"-p", "x", "--http", "--scpi", "[::1]:0", "--http", "[::1]:8081"}, Parsed::kRun, ""},
        {{"-p", "x", "--http", "0.0.0.0:80"}, Parsed::kUsageError,
            "--http 0.0.0.0: listening beyond loopback needs --token-file"},
        {{"-p", "x", "--http=8080"}, Parsed::kUsageError,
            "--http: '8080' is not ADDR:PORT (127.0.0.1:5025, [::1]:5025)"},
        {{"-p", "x", "extra"}, Parsed::kUsageError, "unexpected argument 'extra'"},
    };
    for (const auto& c : cases) {
        const ParseResult result = ParseCommandLine(c.words);
        const std::string shown = c.words.empty() ? "(none)" : c.words.back();
        EXPECT_EQ(result.outcome, c.outcome) << shown;
        EXPECT_EQ(result.error, c.error) << shown;
    }
    const Options o = ParseCommandLine({"-p", "x", "--guard", "max-temp=45,min-input=-30"}).options;
    EXPECT_EQ(o.guard.maxTempC, 45.0);
    EXPECT_EQ(o.guard.minInputDbm, -30.0);
    EXPECT_FALSE(o.guard.maxOutputDbm);
    ASSERT_EQ(o.scpi.size(), 1u) << "the default listening address";
    EXPECT_EQ(o.scpi[0].address + ":" + std::to_string(o.scpi[0].port), "127.0.0.1:5025");
    EXPECT_TRUE(o.http.empty()) << "no HTTP unless asked";
    const Options h = ParseCommandLine({"-p", "x", "--http"}).options;
    ASSERT_EQ(h.http.size(), 1u);
    EXPECT_EQ(h.http[0].address + ":" + std::to_string(h.http[0].port), "127.0.0.1:8080");
}

TEST(AmpdCommandLine, OnlyLoopbackAddressesAreLoopback)
{
    const std::vector<std::pair<std::string, bool>> cases = {{"127.0.0.1", true}, {"127.9.9.9", true}, {"::1", true},
        {"0.0.0.0", false}, {"::", false}, {"192.0.2.7", false}, {"128.0.0.1", false}, {"::ffff:127.0.0.1", false}};
    for (const auto& [address, loopback] : cases) {
        const Endpoint endpoint{address, 1};
        EXPECT_EQ(endpoint.Loopback(), loopback) << address;
    }
}

}  // namespace
