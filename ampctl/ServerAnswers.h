// ampd's answer lines as ampctl reads them: each checked for its exact form first (a line of
// another form is a fault, never a value) and turned into the records the serial path gives, in
// wire units. Platform-free; the conversation around them is ServerSession's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ampctl/Report.h"
#include "protocol/Replies.h"

namespace ampctl::answers {

enum class Read {
    kValue,       // read into the record
    kNothingYet,  // ampd has no value yet (SCPI's "not a number", or NONE)
    kBad,         // not of the form: the record is left as it was
};

// SOUR:CURR?, SOUR:CURR:MAX?: whole milliamps, 0 ... 65535, no sign, no leading zero.
Read Milliamps(const std::string& text, std::uint16_t& value);
// SOUR:POW?: dBm with exactly two places, as raw power units 0 ... 65535.
Read PowerRaw(const std::string& text, std::uint16_t& raw);
// MEAS?: current, input, output, temperature, separated by ','.
Read Reading(const std::string& text, proto::StatusReply& status);
// SOUR:MODE?: ACC, APC, or NONE before ampd knows.
Read Mode(const std::string& text, std::uint8_t& mode);
// OUTP?: 1 or 0.
Read OutputState(const std::string& text, std::uint8_t& state);

// ampd's text for a message: printable ASCII only, and not much of it.
std::string Shown(const std::string& text);

// SYST:ERR?: <code>,"<text>", the code at most six digits; the text as it stands between the quotes.
bool ErrorLine(const std::string& text, int& code, std::string& what);

// ALAR?: NONE, or entries separated by ';', each NAME VALUE TIME: the name of capitals, digits and
// '-', the value a JSON number, the time ISO 8601 UTC to the millisecond, so that each can go into
// JSON as it stands. False, with alarms untouched, for anything else.
bool Alarms(const std::string& text, std::vector<LatchedAlarm>& alarms);

}  // namespace ampctl::answers
