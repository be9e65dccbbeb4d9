#include "scpi/Lexer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace scpi {

namespace {

constexpr long kMaxExponent = 1000000;  // far beyond a double's; keeps the sum from overflowing

// ASCII only: the C library's classes follow the locale.
bool IsAlpha(int c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(int c)
{
    return c >= '0' && c <= '9';
}
bool IsBlank(int c)
{
    return c == ' ' || c == '\t';
}
bool IsMnemonicByte(int c)
{
    return IsAlpha(c) || IsDigit(c) || c == '_';
}
// A bare token: printable, and none of what separates or quotes.
bool IsWordByte(int c)
{
    return c > ' ' && c < 0x7f && c != '"' && c != '\'' && c != ',' && c != ';';
}
char ToUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Where a number's first significant digit stands, its exponent included: 2 for 15, 0 for 0.5,
// -2 for .005; positive for a number too large for a double, not for one too small.
long Magnitude(std::string_view raw)
{
    std::size_t i = (raw[0] == '+' || raw[0] == '-') ? 1 : 0;
    long magnitude = 0;
    bool significant = false;
    for (; i < raw.size() && IsDigit(raw[i]); ++i) {
        significant = significant || raw[i] != '0';
        magnitude += significant ? 1 : 0;
    }
    if (i < raw.size() && raw[i] == '.') {
        for (++i; i < raw.size() && IsDigit(raw[i]); ++i) {
            if (!significant && raw[i] == '0')
                --magnitude;
            significant = significant || raw[i] != '0';
        }
    }
    if (i < raw.size()) {  // the exponent
        ++i;
        const bool negative = raw[i] == '-';
        i += (raw[i] == '+' || raw[i] == '-') ? 1 : 0;
        long exponent = 0;
        for (; i < raw.size(); ++i)
            exponent = std::min(exponent * 10 + (raw[i] - '0'), kMaxExponent);
        magnitude += negative ? -exponent : exponent;
    }
    return magnitude;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ToUpper(a[i]) != ToUpper(b[i]))
            return false;
    return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// Headers reach here lexed, so escapes are a guard should that change.
std::string Printable(std::string_view text, bool cut)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t fitting = 0;  // how much of out leaves room for "..."
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= ' ' && c < 0x7f && c != '"' && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        }
        if (out.size() + 3 <= kMaxContext)
            fitting = out.size();
        if (out.size() > kMaxContext)
            break;
    }
    if (cut || out.size() > kMaxContext) {
        out.resize(fitting);
        out += "...";
    }
    return out;
}

// from_chars is locale-free, in libstdc++ and MinGW's alike.
bool ReadNumber(std::string_view raw, double& value)
{
    const std::string_view digits = raw[0] == '+' ? raw.substr(1) : raw;  // from_chars takes no '+'
    const char* const last = digits.data() + digits.size();
    double read = 0.0;
    const auto [end, error] = std::from_chars(digits.data(), last, read, std::chars_format::general);
    if (error == std::errc::result_out_of_range && Magnitude(raw) <= 0) {
        value = raw[0] == '-' ? -0.0 : 0.0;
        return true;
    }
    if (error != std::errc() || end != last || !std::isfinite(read))
        return false;
    value = read;
    return true;
}

std::string Unquote(std::string_view raw)
{
    const char quote = raw.front();
    std::string text;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        text += raw[i];
        if (raw[i] == quote)
            ++i;  // a doubled quote stands for one
    }
    return text;
}

Lexer::Lexer(std::string_view line)
{
    while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    m_line = line;
}

bool Lexer::NextUnit()
{
    if (m_pos == m_line.size())
        return false;
    ++m_pos;  // the ';'
    SkipBlanks();
    return m_pos < m_line.size();
}

void Lexer::SkipBlanks()
{
    while (IsBlank(Peek()))
        ++m_pos;
}

bool Lexer::LexHeader(Header& header)
{
    const std::size_t start = m_pos;
    header.common = Peek() == '*';
    header.absolute = Peek() == ':';
    if (header.common || header.absolute)
        ++m_pos;
    while (true) {
        const std::size_t from = m_pos;
        if (!IsAlpha(Peek()))
            return false;
        while (IsMnemonicByte(Peek()))
            ++m_pos;
        if (header.count < kMaxDepth)
            header.nodes[header.count] = m_line.substr(from, m_pos - from);
        ++header.count;
        if (header.common || Peek() != ':')
            break;
        ++m_pos;
    }
    header.query = Peek() == '?';
    if (header.query)
        ++m_pos;
    header.written = m_line.substr(start, m_pos - start);
    return AtUnitEnd() || IsBlank(Peek());
}

void Lexer::SkipUnit()
{
    char quote = 0;
    for (; m_pos < m_line.size(); ++m_pos) {
        const char c = m_line[m_pos];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            return;
        }
    }
}

bool Lexer::LexParameters(bool bareWords, Parameters& parameters)
{
    SkipBlanks();
    if (AtUnitEnd())
        return true;
    while (true) {
        Element element;
        if (!LexElement(bareWords, element))
            return false;
        if (parameters.count++ == 0)
            parameters.first = element;
        SkipBlanks();
        if (AtUnitEnd())
            return true;
        if (Peek() != ',')
            return false;
        ++m_pos;
        SkipBlanks();
    }
}

bool Lexer::LexElement(bool bareWords, Element& element)
{
    const std::size_t start = m_pos;
    const int c = Peek();
    if (c == '"' || c == '\'') {
        element.type = DataType::kString;
        if (!LexString())
            return false;
    } else if (bareWords) {
        element.type = DataType::kWord;
        while (IsWordByte(Peek()))
            ++m_pos;
    } else if (c == '+' || c == '-' || c == '.' || IsDigit(c)) {
        element.type = DataType::kNumber;
        if (!LexNumber())
            return false;
    } else if (IsAlpha(c)) {
        element.type = DataType::kCharacter;
        while (IsMnemonicByte(Peek()))
            ++m_pos;
    } else if (c == '#') {  // non-decimal numbers and blocks: a type no command takes
        element.type = DataType::kOther;
        while (!AtUnitEnd() && !IsBlank(Peek()) && Peek() != ',')
            ++m_pos;
    }
    element.raw = m_line.substr(start, m_pos - start);
    return m_pos > start;  // what may follow is LexParameters' to judge
}

bool Lexer::LexString()
{
    const char quote = m_line[m_pos++];
    while (m_pos < m_line.size()) {
        if (m_line[m_pos++] == quote) {
            if (Peek() != static_cast<unsigned char>(quote))
                return true;
            ++m_pos;  // a doubled quote stands for one
        }
    }
    return false;
}

// [+|-] (digits ['.' [digits]] | '.' digits) [(e|E) [+|-] digits]
bool Lexer::LexNumber()
{
    if (Peek() == '+' || Peek() == '-')
        ++m_pos;
    std::size_t digits = SkipDigits();
    if (Peek() == '.') {
        ++m_pos;
        digits += SkipDigits();
    }
    if (digits == 0)
        return false;
    if (Peek() == 'e' || Peek() == 'E') {
        ++m_pos;
        if (Peek() == '+' || Peek() == '-')
            ++m_pos;
        return SkipDigits() > 0;
    }
    return true;
}

std::size_t Lexer::SkipDigits()
{
    const std::size_t start = m_pos;
    while (IsDigit(Peek()))
        ++m_pos;
    return m_pos - start;
}

}  // namespace scpi
