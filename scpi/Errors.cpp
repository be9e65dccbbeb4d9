#include "scpi/Errors.h"

namespace scpi {

std::string FormatError(const Error& error)
{
    const std::string code = error.code > 0 ? "+" + std::to_string(error.code) : std::to_string(error.code);
    return code + ',' + Quoted(error.text);
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + '"';
}

}  // namespace scpi
