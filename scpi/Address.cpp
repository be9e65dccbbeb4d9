#include "scpi/Address.h"

#include <algorithm>

namespace scpi {

namespace {

// ASCII only: the C library's classes follow the locale.
bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int Decimal(std::string_view digits)
{
    int value = 0;
    for (const char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

}  // namespace

bool ParsePort(std::string_view text, int& port)
{
    if (text.size() > 5 || !AllDigits(text))
        return false;
    port = Decimal(text);
    return port <= 65535;
}

bool IsIpv4(std::string_view text)
{
    int parts = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        if (part.size() > 3 || !AllDigits(part) || Decimal(part) > 255)
            return false;
        ++parts;
        start = dot + 1;
    }
    return parts == 4;
}

bool LooksLikeIpv6(std::string_view text)
{
    if (text.size() < 2 || text.size() > 45 || text.find(':') == std::string_view::npos)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return IsHexDigit(c) || c == ':' || c == '.'; });
}

Split SplitHostPort(std::string_view text, HostPort& parts)
{
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return Split::kNoCloseBracket;
        if (text.substr(close + 1, 1) != ":")
            return Split::kNoColonAfterBracket;
        parts.host = std::string(text.substr(1, close - 1));
        parts.port = std::string(text.substr(close + 2));
        parts.bracketed = true;
        return Split::kDone;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return Split::kNoColon;
    if (text.substr(0, colon).find(':') != std::string_view::npos)
        return Split::kUnbracketedColon;
    parts.host = std::string(text.substr(0, colon));
    parts.port = std::string(text.substr(colon + 1));
    parts.bracketed = false;
    return Split::kDone;
}

}  // namespace scpi
