// Arbitrary bytes into ampd's SCPI parser, as a client may send them: it must never read outside
// the line or hang, and what it gives back must keep its promises (items bounded by the line, a
// syntax error only last, printable texts, the token kept out of the audit text, typed values).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "scpi/Parser.h"

namespace {

bool Printable(const std::string& text)
{
    for (const char c : text)
        if (c < ' ' || c > '~')
            return false;
    return true;
}

void Check(bool holds)
{
    if (!holds)
        std::abort();
}

void CheckRequest(const scpi::Request& request)
{
    using scpi::Command;
    Check(Printable(request.text));
    const bool setting = !request.query;
    const bool numeric = request.command == Command::kCurrent || request.command == Command::kPower;
    Check(request.number.has_value() == (setting && numeric));
    Check(!request.number || std::isfinite(*request.number));
    Check(request.on.has_value() == (setting && request.command == Command::kOutput));
    Check(request.mode.has_value() == (setting && request.command == Command::kMode));
    Check(!request.mode || *request.mode == scpi::kModeAcc || *request.mode == scpi::kModeApc);
    if (request.command == Command::kAuthenticate)
        Check(request.text == "SYST:AUTH <token>");
    else
        Check(request.token.empty());
}

void CheckError(const scpi::Error& error)
{
    switch (error.code) {
    case -102:
    case -104:
    case -108:
    case -109:
    case -113:
    case -222:
    case -224:
        break;
    default:
        std::abort();
    }
    Check(error.code == -113 || error.text.find(';') == std::string::npos);  // context only on -113
    Check(error.text.size() <= 17 + 40);                                     // "Undefined header;" and 40
    Check(Printable(error.text) && error.text.find('"') == std::string::npos);
    Check(Printable(scpi::FormatError(error)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto items = scpi::ParseLine(line);
    Check(items.size() <= (size + 1) / 2);  // a unit takes a byte, and a ';' before the next
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (const auto* request = std::get_if<scpi::Request>(&items[i])) {
            CheckRequest(*request);
            continue;
        }
        const auto& error = std::get<scpi::Error>(items[i]);
        CheckError(error);
        Check(error.code != -102 || i + 1 == items.size());  // nothing is parsed after a syntax error
    }
    return 0;
}
