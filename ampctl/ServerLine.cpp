#include "ampctl/ServerLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ampctl {

namespace {

bool AllDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool IsIpv4(const std::string& text)
{
    int parts = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string part = text.substr(start, dot - start);
        if (part.size() > 3 || !AllDigits(part) || std::atoi(part.c_str()) > 255)
            return false;
        ++parts;
        start = dot + 1;
    }
    return parts == 4;
}

// Letters, digits and '-' in labels of 1 ... 63 characters between dots, none starting or ending
// with '-'.
bool IsHostName(const std::string& text)
{
    if (text.empty() || text.size() > 253)
        return false;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string label = text.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
                return false;
        start = dot + 1;
    }
    return true;
}

// Hex digits and ':' (and the dots of an IPv4 tail); whether it is an address is the resolver's
// to say.
bool LooksLikeIpv6(const std::string& text)
{
    if (text.size() < 2 || text.size() > 45 || text.find(':') == std::string::npos)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
            return false;
    return true;
}

bool ParsePortNumber(const std::string& text, int& port)
{
    if (!AllDigits(text) || text.size() > 5 || text[0] == '0')
        return false;
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string Trimmed(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace

bool IsServerPort(const std::string& port)
{
    return port.compare(0, std::strlen(kServerScheme), kServerScheme) == 0;
}

bool ParseServerAddress(const std::string& port, ServerAddress& address, std::string& error)
{
    const auto fail = [&](const std::string& why) {
        error = "'" + port + "' is not tcp://HOST:PORT: " + why;
        return false;
    };
    if (!IsServerPort(port))
        return fail("it does not start with tcp://");
    const std::string rest = port.substr(std::strlen(kServerScheme));
    std::string host;
    std::string number;
    ServerAddress parsed;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos)
            return fail("no ']' after the IPv6 address");
        host = rest.substr(1, close - 1);
        if (rest.compare(close + 1, 1, ":") != 0)
            return fail("no ':PORT' after the IPv6 address");
        number = rest.substr(close + 2);
        if (!LooksLikeIpv6(host))
            return fail("'" + host + "' is not an IPv6 address");
        parsed.ipv6 = true;
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return fail("no ':PORT'");
        host = rest.substr(0, colon);
        number = rest.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            return fail("an IPv6 address goes in brackets, as tcp://[::1]:5025");
        bool numeric = !host.empty();
        for (char c : host)
            numeric = numeric && (std::isdigit(static_cast<unsigned char>(c)) || c == '.');
        if (numeric ? !IsIpv4(host) : !IsHostName(host))
            return fail(host.empty() ? "no HOST" : "'" + host + "' is neither a host name nor an IPv4 address");
    }
    if (!ParsePortNumber(number, parsed.port))
        return fail("PORT is not a number from 1 to 65535");
    parsed.host = host;
    address = parsed;
    return true;
}

bool LoadToken(
    const std::string& tokenFile, const char* fromEnvironment, std::string& token, bool& found, std::string& error)
{
    found = false;
    const std::string what = tokenFile.empty() ? "AMPCTL_TOKEN" : "--token-file " + tokenFile;
    std::string line;
    if (!tokenFile.empty()) {
        std::FILE* file = std::fopen(tokenFile.c_str(), "rb");
        if (!file) {
            error = what + ": " + std::strerror(errno);
            return false;
        }
        // The first line only, and no more of it than a token could fill.
        for (int c = std::fgetc(file); c != EOF && c != '\n' && line.size() <= 4 * kMaxTokenBytes; c = std::fgetc(file))
            line += static_cast<char>(c);
        const bool failed = std::ferror(file) != 0;
        std::fclose(file);
        if (failed) {
            error = what + ": cannot be read";
            return false;
        }
    } else if (fromEnvironment && *fromEnvironment) {
        line = fromEnvironment;
    } else {
        return true;  // none given: an empty AMPCTL_TOKEN is one unset
    }
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty()) {
        error = what + ": no token in it";
        return false;
    }
    if (trimmed.size() > kMaxTokenBytes) {
        error = what + ": the token is longer than " + std::to_string(kMaxTokenBytes) + " bytes";
        return false;
    }
    for (char c : trimmed) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            error = what + ": the token holds a control character";
            return false;
        }
    }
    token = trimmed;
    found = true;
    return true;
}

}  // namespace ampctl
