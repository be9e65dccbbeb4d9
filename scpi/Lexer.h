// The text and number readers of a SCPI line, below the command table: how headers, numbers,
// strings, words and blanks are written, read the same in every locale (ASCII classes, no C
// library locale), and the line's bytes made printable for an answer or a log. Parser.h says what
// a line is; this knows no command.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace scpi {

// The deepest header the command table has: the lexer keeps this many nodes of a header.
constexpr std::size_t kMaxDepth = 3;
// Context echoed to clients and logged: at most this many characters.
constexpr std::size_t kMaxContext = 40;

using Nodes = std::array<std::string_view, kMaxDepth>;

bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsNoCase(std::string_view text, std::string_view prefix);

// Bytes echoed to a client and logged: printable ASCII, others (and '"' and '\', which would end or
// confuse the quoted answer) as \xHH; at most kMaxContext characters, "..." where cut (and always
// when cut is set, for text already shortened).
std::string Printable(std::string_view text, bool cut);

// A number as the lexer accepted it, read the same in every locale. False when a double cannot
// hold it; one too small to hold reads as 0.
bool ReadNumber(std::string_view raw, double& value);

// A string as the lexer accepted it, without its quotes, a doubled quote read as one.
std::string Unquote(std::string_view raw);

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

// One line, read unit by unit. It never reads outside the line and takes linear time.
class Lexer {
public:
    // Without its line end and the blanks around it.
    explicit Lexer(std::string_view line);

    bool Empty() const { return m_line.empty(); }
    // Past the ';' that ends a unit and the blanks after it; false at the line's end, a ';' that
    // ends the line included.
    bool NextUnit();

    // ['*' | ':'] mnemonic {':' mnemonic} ['?'], then a blank or the unit's end. False: a syntax error.
    bool LexHeader(Header& header);
    // Elements separated by ',' with blanks around, up to the unit's end; bareWords: an element not
    // in quotes is a word of printable bytes. False: a syntax error.
    bool LexParameters(bool bareWords, Parameters& parameters);
    // Past an undefined header's parameters to the unit's end, a ';' in a string not counting.
    void SkipUnit();

private:
    int Peek() const { return m_pos < m_line.size() ? static_cast<unsigned char>(m_line[m_pos]) : -1; }
    bool AtUnitEnd() const { return m_pos == m_line.size() || m_line[m_pos] == ';'; }
    void SkipBlanks();
    bool LexElement(bool bareWords, Element& element);
    bool LexString();
    bool LexNumber();
    std::size_t SkipDigits();

    std::string_view m_line;
    std::size_t m_pos = 0;
};

}  // namespace scpi
