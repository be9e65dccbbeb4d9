#include "scpi/Parser.h"

#include <cstddef>

#include "scpi/Lexer.h"

namespace scpi {

namespace {

enum class Parameter { kNone, kNumber, kBoolean, kMode, kToken };

struct CommandRow {
    const char* path;  // the nodes' long forms, each with its short form in upper case
    Command command;
    bool query;           // "path?" is defined
    bool setting;         // "path <parameter>" is defined
    Parameter parameter;  // the setting's
};

constexpr CommandRow kCommands[] = {
    {"*IDN", Command::kIdentify, true, false, Parameter::kNone},
    {"*OPC", Command::kOperationComplete, true, false, Parameter::kNone},
    {"MEASure", Command::kMeasureAll, true, false, Parameter::kNone},
    {"MEASure:CURRent", Command::kMeasureCurrent, true, false, Parameter::kNone},
    {"MEASure:POWer:INPut", Command::kMeasureInput, true, false, Parameter::kNone},
    {"MEASure:POWer:OUTPut", Command::kMeasureOutput, true, false, Parameter::kNone},
    {"MEASure:TEMPerature", Command::kMeasureTemperature, true, false, Parameter::kNone},
    {"SOURce:CURRent", Command::kCurrent, true, true, Parameter::kNumber},
    {"SOURce:CURRent:MAXimum", Command::kCurrentMaximum, true, false, Parameter::kNone},
    {"SOURce:POWer", Command::kPower, true, true, Parameter::kNumber},
    {"SOURce:MODE", Command::kMode, true, true, Parameter::kMode},
    {"OUTPut", Command::kOutput, true, true, Parameter::kBoolean},
    {"SYSTem:ERRor", Command::kError, true, false, Parameter::kNone},
    // SCPI's full spelling of the same query (SYSTem:ERRor[:NEXT]?), which PyVISA examples use.
    {"SYSTem:ERRor:NEXT", Command::kError, true, false, Parameter::kNone},
    {"SYSTem:AUTHenticate", Command::kAuthenticate, false, true, Parameter::kToken},
    {"LINK", Command::kLink, true, false, Parameter::kNone},
    {"ALARm", Command::kAlarm, true, false, Parameter::kNone},
    {"ALARm:CLEar", Command::kAlarmClear, false, true, Parameter::kNone},
};

// The lexer keeps kMaxDepth nodes of a header: no path may be deeper.
constexpr bool PathsFitTheLexer()
{
    for (const CommandRow& row : kCommands) {
        std::size_t nodes = 1;
        for (const char* c = row.path; *c != '\0'; ++c)
            nodes += *c == ':' ? 1 : 0;
        if (nodes > kMaxDepth)
            return false;
    }
    return true;
}
static_assert(PathsFitTheLexer(), "a command's path is deeper than kMaxDepth");

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

class LineParser {
public:
    explicit LineParser(std::string_view line) : m_lexer(line) {}

    std::vector<Item> Run()
    {
        if (m_lexer.Empty())
            return {};
        while (Unit() && m_lexer.NextUnit()) {}
        return std::move(m_items);
    }

private:
    // One unit; false when the rest of the line is not to be parsed.
    bool Unit()
    {
        Header header;
        if (!m_lexer.LexHeader(header))
            return SyntaxError();
        const CommandRow* const row = Resolve(header);
        if (row && !header.common) {
            Nodes nodes;
            m_pathRow = row;
            m_pathDepth = SplitPath(row->path, nodes) - 1;
        }
        if (!row || !(header.query ? row->query : row->setting)) {
            m_items.emplace_back(kUndefinedHeader.With(Context(header)));
            m_lexer.SkipUnit();
            return true;
        }
        Parameters parameters;
        if (!m_lexer.LexParameters(!header.query && row->parameter == Parameter::kToken, parameters))
            return SyntaxError();
        m_items.push_back(MakeRequest(*row, header.query, parameters));
        return true;
    }

    bool SyntaxError()
    {
        m_items.emplace_back(Error(kSyntaxError));
        return false;
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

    // The parameter's count and type against what the command takes.
    static Item MakeRequest(const CommandRow& row, bool query, const Parameters& parameters)
    {
        Request request;
        request.command = row.command;
        request.query = query;
        request.text = ShortPath(row.path) + (query ? "?" : "");
        const Parameter wanted = query ? Parameter::kNone : row.parameter;
        if (wanted == Parameter::kNone)
            return parameters.count == 0 ? Item(request) : Item(kParameterNotAllowed);
        if (parameters.count != 1)
            return parameters.count == 0 ? kMissingParameter : kParameterNotAllowed;

        const Element& element = parameters.first;
        const DataType type = element.type;
        double number = 0.0;
        const bool numeric = wanted == Parameter::kNumber || wanted == Parameter::kBoolean;
        if (numeric && type == DataType::kNumber && !ReadNumber(element.raw, number))
            return kDataOutOfRange;
        switch (wanted) {
        case Parameter::kNumber:
            if (type != DataType::kNumber)
                return kDataTypeError;
            request.number = number;
            break;
        case Parameter::kBoolean:
            if (type == DataType::kCharacter && (EqualNoCase(element.raw, "ON") || EqualNoCase(element.raw, "OFF")))
                request.on = EqualNoCase(element.raw, "ON");
            else if (type == DataType::kNumber && (number == 0.0 || number == 1.0))
                request.on = number == 1.0;
            else
                return type == DataType::kCharacter || type == DataType::kNumber ? kIllegalParameterValue
                                                                                 : kDataTypeError;
            break;
        case Parameter::kMode:
            if (type != DataType::kCharacter)
                return kDataTypeError;
            if (EqualNoCase(element.raw, "ACC"))
                request.mode = kModeAcc;
            else if (EqualNoCase(element.raw, "APC"))
                request.mode = kModeApc;
            else
                return kIllegalParameterValue;
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

    Lexer m_lexer;
    std::vector<Item> m_items;
    const CommandRow* m_pathRow = nullptr;  // the current path: the first m_pathDepth nodes of this row
    std::size_t m_pathDepth = 0;
};

}  // namespace

std::vector<Item> ParseLine(std::string_view line)
{
    return LineParser(line).Run();
}

}  // namespace scpi
