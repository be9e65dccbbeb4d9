// Text that leaves the simulator (replies, state, messages, the log) is valid UTF-8 and free of
// control characters whatever bytes came in: what cannot pass as it is goes out escaped.
#pragma once

#include <string>

namespace sim {

// Plain text: a control character or a byte that is not valid UTF-8 becomes \xNN (each byte),
// a backslash \\; everything else, other languages' letters too, is kept.
std::string PrintableText(const std::string& text);

// A JSON string with its quotes: control characters as \u00XX, and a byte that is not valid
// UTF-8 as \u00XX of its value.
std::string JsonString(const std::string& text);

}  // namespace sim
