#include "ampctl/ServerLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scpi/Address.h"

namespace ampctl {

namespace {

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
    scpi::HostPort parts;
    switch (scpi::SplitHostPort(rest, parts)) {
    case scpi::Split::kDone:
        break;
    case scpi::Split::kNoCloseBracket:
        return fail("no ']' after the IPv6 address");
    case scpi::Split::kNoColonAfterBracket:
        return fail("no ':PORT' after the IPv6 address");
    case scpi::Split::kNoColon:
        return fail("no ':PORT'");
    case scpi::Split::kUnbracketedColon:
        return fail("an IPv6 address goes in brackets, as tcp://[::1]:5025");
    }
    const std::string& host = parts.host;
    ServerAddress parsed;
    if (parts.bracketed) {
        if (!scpi::LooksLikeIpv6(host))
            return fail("'" + host + "' is not an IPv6 address");
        parsed.ipv6 = true;
    } else {
        bool numeric = !host.empty();
        for (char c : host)
            numeric = numeric && (std::isdigit(static_cast<unsigned char>(c)) || c == '.');
        if (numeric ? !scpi::IsIpv4(host) : !IsHostName(host))
            return fail(host.empty() ? "no HOST" : "'" + host + "' is neither a host name nor an IPv4 address");
    }
    // No leading zero, and so no port 0: a client has no "any port".
    if (!scpi::ParsePort(parts.port, parsed.port) || parts.port[0] == '0')
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
