#include "ampd/Scpi.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>

namespace ampd {

namespace {

// The codes this parser gives; Scpi.h says which fault gives which.
constexpr int kSyntaxError = -102;
constexpr int kDataTypeError = -104;
constexpr int kParameterNotAllowed = -108;
constexpr int kMissingParameter = -109;
constexpr int kUndefinedHeader = -113;
constexpr int kDataOutOfRange = -222;
constexpr int kIllegalParameterValue = -224;

const char* StandardText(int code)
{
    switch (code) {
    case kSyntaxError:
        return "Syntax error";
    case kDataTypeError:
        return "Data type error";
    case kParameterNotAllowed:
        return "Parameter not allowed";
    case kMissingParameter:
        return "Missing parameter";
    case kUndefinedHeader:
        return "Undefined header";
    case kDataOutOfRange:
        return "Data out of range";
    default:
        return "Illegal parameter value";
    }
}

enum class Parameter { kNone, kNumber, kBoolean, kMode, kToken };

struct CommandRow {
    const char* path;  // the nodes' long forms, each with its short form in upper case
    ScpiCommand command;
    bool query;           // "path?" is defined
    bool setting;         // "path <parameter>" is defined
    Parameter parameter;  // the setting's
};

constexpr CommandRow kCommands[] = {
    {"*IDN", ScpiCommand::kIdentify, true, false, Parameter::kNone},
    {"*OPC", ScpiCommand::kOperationComplete, true, false, Parameter::kNone},
    {"MEASure", ScpiCommand::kMeasureAll, true, false, Parameter::kNone},
    {"MEASure:CURRent", ScpiCommand::kMeasureCurrent, true, false, Parameter::kNone},
    {"MEASure:POWer:INPut", ScpiCommand::kMeasureInput, true, false, Parameter::kNone},
    {"MEASure:POWer:OUTPut", ScpiCommand::kMeasureOutput, true, false, Parameter::kNone},
    {"MEASure:TEMPerature", ScpiCommand::kMeasureTemperature, true, false, Parameter::kNone},
    {"SOURce:CURRent", ScpiCommand::kCurrent, true, true, Parameter::kNumber},
    {"SOURce:CURRent:MAXimum", ScpiCommand::kCurrentMaximum, true, false, Parameter::kNone},
    {"SOURce:POWer", ScpiCommand::kPower, true, true, Parameter::kNumber},
    {"SOURce:MODE", ScpiCommand::kMode, true, true, Parameter::kMode},
    {"OUTPut", ScpiCommand::kOutput, true, true, Parameter::kBoolean},
    {"SYSTem:ERRor", ScpiCommand::kError, true, false, Parameter::kNone},
    // SCPI's full spelling of the same query (SYSTem:ERRor[:NEXT]?), which PyVISA examples use.
    {"SYSTem:ERRor:NEXT", ScpiCommand::kError, true, false, Parameter::kNone},
    {"SYSTem:AUTHenticate", ScpiCommand::kAuthenticate, false, true, Parameter::kToken},
    {"LINK", ScpiCommand::kLink, true, false, Parameter::kNone},
    {"ALARm", ScpiCommand::kAlarm, true, false, Parameter::kNone},
    {"ALARm:CLEar", ScpiCommand::kAlarmClear, false, true, Parameter::kNone},
};

constexpr std::size_t kMaxDepth = 3;     // the deepest path in the table
constexpr std::size_t kMaxContext = 40;  // an error's context, echoed to clients and logged
constexpr long kMaxExponent = 1000000;   // far beyond a double's; keeps the sum from overflowing

using Nodes = std::array<std::string_view, kMaxDepth>;

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

// "MEASure" -> "MEAS"; a node without lower case is its own short form.
std::string_view ShortForm(std::string_view node)
{
    std::size_t length = 0;
    while (length < node.size() && !(node[length] >= 'a' && node[length] <= 'z'))
        ++length;
    return node.substr(0, length);
}

// Only the two spellings SCPI allows, so that "MEASU" is refused as an instrument would.
bool NodeMatches(std::string_view written, std::string_view node)
{
    return EqualNoCase(written, node) || EqualNoCase(written, ShortForm(node));
}

// A table path's nodes; returns how many there are (the table's paths fit in Nodes).
std::size_t SplitPath(std::string_view path, Nodes& nodes)
{
    std::size_t count = 0;
    while (count < kMaxDepth) {
        const std::size_t colon = path.find(':');
        nodes[count++] = path.substr(0, colon);
        if (colon == std::string_view::npos)
            break;
        path.remove_prefix(colon + 1);
    }
    return count;
}

std::string ShortPath(std::string_view path)
{
    Nodes nodes;
    const std::size_t count = SplitPath(path, nodes);
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += ':';
        text += ShortForm(nodes[i]);
    }
    return text;
}

// Bytes echoed to a client and logged: printable ASCII, others (and '"' and '\', which would end or
// confuse the quoted answer) as \xHH; at most kMaxContext characters, "..." where cut. Headers reach
// here lexed, so escapes are a guard should that change.
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

ScpiError Error(int code)
{
    return ScpiError{code, StandardText(code)};
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

// A number as LexNumber accepted it, read the same in every locale (from_chars is locale-free, in
// libstdc++ and MinGW's alike). False when a double cannot hold it; too small to hold reads as 0.
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

struct Header {
    std::string_view written;  // as sent, '?' included
    Nodes nodes;               // the first kMaxDepth nodes as sent, a common command's without '*'
    std::size_t count = 0;     // how many nodes were sent
    bool common = false;
    bool absolute = false;
    bool query = false;
};

enum class DataType { kNumber, kCharacter, kString, kWord, kOther };

struct Element {
    DataType type = DataType::kOther;
    std::string_view raw;
};

struct Parameters {
    std::size_t count = 0;
    Element first;  // only commands of one parameter exist
};

class LineParser {
public:
    explicit LineParser(std::string_view line)
    {
        while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r' || line.back() == '\n'))
            line.remove_suffix(1);
        while (!line.empty() && IsBlank(line.front()))
            line.remove_prefix(1);
        m_line = line;
    }

    std::vector<ScpiItem> Run()
    {
        if (m_line.empty())
            return {};
        while (Unit() && m_pos < m_line.size()) {
            ++m_pos;  // the ';'
            SkipBlanks();
            if (m_pos == m_line.size())
                break;  // a ';' that ends the line
        }
        return std::move(m_items);
    }

private:
    int Peek() const { return m_pos < m_line.size() ? static_cast<unsigned char>(m_line[m_pos]) : -1; }
    bool AtUnitEnd() const { return m_pos == m_line.size() || m_line[m_pos] == ';'; }
    void SkipBlanks()
    {
        while (IsBlank(Peek()))
            ++m_pos;
    }

    // One unit; false when the rest of the line is not to be parsed.
    bool Unit()
    {
        Header header;
        if (!LexHeader(header))
            return SyntaxError();
        const CommandRow* const row = Resolve(header);
        if (row && !header.common) {
            Nodes nodes;
            m_pathRow = row;
            m_pathDepth = SplitPath(row->path, nodes) - 1;
        }
        if (!row || !(header.query ? row->query : row->setting)) {
            m_items.emplace_back(
                ScpiError{kUndefinedHeader, std::string(StandardText(kUndefinedHeader)) + ';' + Context(header)});
            SkipUnit();
            return true;
        }
        Parameters parameters;
        if (!LexParameters(!header.query && row->parameter == Parameter::kToken, parameters))
            return SyntaxError();
        m_items.push_back(Request(*row, header.query, parameters));
        return true;
    }

    bool SyntaxError()
    {
        m_items.emplace_back(Error(kSyntaxError));
        return false;
    }

    // ['*' | ':'] mnemonic {':' mnemonic} ['?'], then a blank or the unit's end.
    bool LexHeader(Header& header)
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

    // The nodes a relative header is taken from; returns how many.
    std::size_t Inherited(const Header& header, Nodes& full) const
    {
        if (header.common || header.absolute || !m_pathRow)
            return 0;
        SplitPath(m_pathRow->path, full);
        return m_pathDepth;
    }

    const CommandRow* Resolve(const Header& header) const
    {
        Nodes full;
        const std::size_t depth = Inherited(header, full);
        if (depth + header.count > kMaxDepth)
            return nullptr;
        for (std::size_t i = 0; i < header.count; ++i)
            full[depth + i] = header.nodes[i];
        for (const CommandRow& row : kCommands) {
            const bool commonRow = row.path[0] == '*';
            if (commonRow != header.common)
                continue;
            if (commonRow) {
                if (header.count == 1 && EqualNoCase(header.nodes[0], row.path + 1))
                    return &row;
                continue;
            }
            Nodes nodes;
            const std::size_t count = SplitPath(row.path, nodes);
            bool matches = count == depth + header.count;
            for (std::size_t i = 0; matches && i < count; ++i)
                matches = NodeMatches(full[i], nodes[i]);
            if (matches)
                return &row;
        }
        return nullptr;
    }

    // The header for an undefined header's error. It stops after a node that names the token's
    // command, so that a token glued to it ("SYST:AUTHs3cret", "SYST:AUTH:s3cret") is not echoed.
    std::string Context(const Header& header) const
    {
        Nodes full;
        const std::size_t depth = Inherited(header, full);
        for (std::size_t sent = 1; !header.common && sent <= header.count && depth + sent <= kMaxDepth; ++sent) {
            full[depth + sent - 1] = header.nodes[sent - 1];
            for (const CommandRow& row : kCommands) {
                Nodes nodes;
                if (row.parameter != Parameter::kToken || SplitPath(row.path, nodes) != depth + sent)
                    continue;
                bool matches = StartsNoCase(full[depth + sent - 1], ShortForm(nodes[depth + sent - 1]));
                for (std::size_t i = 0; matches && i + 1 < depth + sent; ++i)
                    matches = NodeMatches(full[i], nodes[i]);
                if (matches) {
                    const std::string_view last = header.nodes[sent - 1];
                    const std::size_t kept = static_cast<std::size_t>(last.data() - header.written.data())
                        + ShortForm(nodes[depth + sent - 1]).size();
                    return Printable(header.written.substr(0, kept), true);
                }
            }
        }
        return Printable(header.written, false);
    }

    // Past an undefined header's parameters to the unit's end, a ';' in a string not counting.
    void SkipUnit()
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

    // Elements separated by ',' with blanks around, up to the unit's end.
    bool LexParameters(bool bareWords, Parameters& parameters)
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

    bool LexElement(bool bareWords, Element& element)
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

    bool LexString()
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
    bool LexNumber()
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

    std::size_t SkipDigits()
    {
        const std::size_t start = m_pos;
        while (IsDigit(Peek()))
            ++m_pos;
        return m_pos - start;
    }

    // The parameter's count and type against what the command takes.
    static ScpiItem Request(const CommandRow& row, bool query, const Parameters& parameters)
    {
        ScpiRequest request;
        request.command = row.command;
        request.query = query;
        request.text = ShortPath(row.path) + (query ? "?" : "");
        const Parameter wanted = query ? Parameter::kNone : row.parameter;
        if (wanted == Parameter::kNone)
            return parameters.count == 0 ? ScpiItem(request) : Error(kParameterNotAllowed);
        if (parameters.count != 1)
            return Error(parameters.count == 0 ? kMissingParameter : kParameterNotAllowed);

        const Element& element = parameters.first;
        const DataType type = element.type;
        double number = 0.0;
        const bool numeric = wanted == Parameter::kNumber || wanted == Parameter::kBoolean;
        if (numeric && type == DataType::kNumber && !ReadNumber(element.raw, number))
            return Error(kDataOutOfRange);
        switch (wanted) {
        case Parameter::kNumber:
            if (type != DataType::kNumber)
                return Error(kDataTypeError);
            request.number = number;
            break;
        case Parameter::kBoolean:
            if (type == DataType::kCharacter && (EqualNoCase(element.raw, "ON") || EqualNoCase(element.raw, "OFF")))
                request.on = EqualNoCase(element.raw, "ON");
            else if (type == DataType::kNumber && (number == 0.0 || number == 1.0))
                request.on = number == 1.0;
            else
                return Error(type == DataType::kCharacter || type == DataType::kNumber ? kIllegalParameterValue
                                                                                       : kDataTypeError);
            break;
        case Parameter::kMode:
            if (type != DataType::kCharacter)
                return Error(kDataTypeError);
            if (EqualNoCase(element.raw, "ACC"))
                request.mode = kScpiModeAcc;
            else if (EqualNoCase(element.raw, "APC"))
                request.mode = kScpiModeApc;
            else
                return Error(kIllegalParameterValue);
            break;
        default:  // the token: only a string or a bare word is read for it
            request.token = type == DataType::kString ? Unquote(element.raw) : std::string(element.raw);
            request.text += " <token>";
            return request;
        }
        // What was accepted above is digits, signs, points and letters: printable as it stands.
        request.text += ' ';
        request.text += element.raw;
        return request;
    }

    std::string_view m_line;
    std::size_t m_pos = 0;
    std::vector<ScpiItem> m_items;
    const CommandRow* m_pathRow = nullptr;  // the current path: the first m_pathDepth nodes of this row
    std::size_t m_pathDepth = 0;
};

}  // namespace

std::vector<ScpiItem> ParseScpiLine(std::string_view line)
{
    return LineParser(line).Run();
}

std::string FormatScpiError(const ScpiError& error)
{
    std::string text = error.code > 0 ? "+" + std::to_string(error.code) : std::to_string(error.code);
    text += ",\"";
    for (const char c : error.text) {
        text += c;
        if (c == '"')
            text += '"';
    }
    text += '"';
    return text;
}

}  // namespace ampd
