#include "sim/Text.h"

#include <cstdint>
#include <cstdio>

namespace sim {

namespace {

// Length (1 to 4) of the well-formed UTF-8 character starting at text[i], its code point in cp;
// 0 for a byte that starts none (stray, overlong, surrogate, beyond U+10FFFF, cut short).
std::size_t CharAt(const std::string& text, std::size_t i, std::uint32_t& cp)
{
    const auto byte = [&text](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    std::size_t n = 0;
    std::uint32_t least = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        n = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        n = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        n = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (byte(i + k) & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// C0, DEL and C1: nothing a reader should see raw.
bool IsControl(std::uint32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

std::string Hex(const char* format, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string PrintableText(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t n = CharAt(text, i, cp);
        if (n == 0 || IsControl(cp)) {
            for (const std::size_t end = i + (n == 0 ? 1 : n); i < end; ++i)
                out += Hex("\\x%02X", static_cast<std::uint8_t>(text[i]));
            continue;
        }
        if (cp == '\\')
            out += '\\';
        out.append(text, i, n);
        i += n;
    }
    return out;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t n = CharAt(text, i, cp);
        if (n == 0) {
            out += Hex("\\u%04x", static_cast<std::uint8_t>(text[i++]));
            continue;
        }
        if (IsControl(cp))
            out += Hex("\\u%04x", cp);
        else if (cp == '"' || cp == '\\')
            out += '\\' + text.substr(i, 1);
        else
            out.append(text, i, n);
        i += n;
    }
    return out + "\"";
}

}  // namespace sim
