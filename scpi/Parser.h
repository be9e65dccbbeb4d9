// The SCPI command line that ampd's clients send over TCP: parsed into requests, each already
// checked for its header and the type of its parameter. Which values are in range and what a
// request does is the server's business. Platform-free, standard C++17 only.
//
// A line is one program message: units separated by ';', surrounded by blanks (space, tab) and
// ending in LF or CR LF (the line end may be left on). Each unit is a header (nodes separated by
// ':', each in its long or its short form, any case; '?' at the end for a query) and, after at
// least one blank, its parameter. A header that starts with neither ':' nor '*' is taken from the
// current path: the nodes before the leaf of the last header that named a defined command, or
// the root at the start of each line. ':' at the start goes back to the root; a common command
// ("*IDN?") neither uses nor changes the path. There is no fall-back to the root when a relative
// header is not defined ("MEAS:CURR?;SOUR:CURR?" is an undefined header, as SCPI has it).
// An undefined header leaves the path as it was; a defined one with a bad parameter moves it.
// An empty line gives nothing; a ';' at the end of a line is allowed, an empty unit between two is not.
//
// Parameters: numbers are decimal (sign, digits, point, exponent: 1500, +1.5E3, -3.25, .5), read
// the same in every locale; ON|OFF|1|0 and ACC|APC in any case; a token is a string in "..." or
// '...' (a doubled quote inside stands for one) or a bare word of printable ASCII without blanks,
// quotes, ',' or ';'. A string's bytes are kept exactly as sent.
//
// Errors (the code and the standard text, scpi/Errors.h; Error::text never carries the quotes):
//   -102 Syntax error          a header, number, string or separator that cannot be read: an empty
//                              unit, a stray character, a byte outside printable ASCII anywhere
//                              but inside a string, two parameters without ',' between, an
//                              unterminated string. Nothing after it on the line is parsed.
//   -104 Data type error       a parameter of the wrong type: a word or string where a number is
//                              wanted (nan, inf, MAX), a number or string for ACC|APC, a string
//                              for ON|OFF, non-decimal data (#H10).
//   -108 Parameter not allowed a parameter on a query or on a command without one; more than one.
//   -109 Missing parameter     a setting without its parameter.
//   -113 Undefined header      a header not in the table, a partial form (MEASU), a query of a
//                              setting-only command or the reverse (*OPC, ALAR:CLE?). The text adds
//                              the header as written after ';', printable and at most 40 characters,
//                              and cut after the node if it names the authentication command.
//   -222 Data out of range     a number beyond a double's range (1e999); other ranges are the
//                              server's. A number too small to hold is read as 0.
//   -224 Illegal parameter value a word or number that is not one of the choices (MODE XYZ, OUTP 2).
// -100 Command error is not produced here: every fault has one of the codes above.
// Errors other than -102 are reported for their own unit and parsing goes on after the next ';'.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "scpi/Errors.h"

namespace scpi {

enum class Command {
    kIdentify,            // *IDN?
    kOperationComplete,   // *OPC?
    kMeasureCurrent,      // MEASure:CURRent?
    kMeasureInput,        // MEASure:POWer:INPut?
    kMeasureOutput,       // MEASure:POWer:OUTPut?
    kMeasureTemperature,  // MEASure:TEMPerature?
    kMeasureAll,          // MEASure?
    kCurrent,             // SOURce:CURRent <mA> | SOURce:CURRent?
    kCurrentMaximum,      // SOURce:CURRent:MAXimum?
    kPower,               // SOURce:POWer <dBm> | SOURce:POWer?
    kMode,                // SOURce:MODE ACC|APC | SOURce:MODE?
    kOutput,              // OUTPut ON|OFF|1|0 | OUTPut?
    kError,               // SYSTem:ERRor? and SYSTem:ERRor:NEXT?
    kAuthenticate,        // SYSTem:AUTHenticate <token>
    kLink,                // LINK?
    kAlarm,               // ALARm?
    kAlarmClear,          // ALARm:CLEar
};

// The mode's wire values, as SOURce:MODE's parameter is given to the server.
constexpr std::uint8_t kModeAcc = 1;
constexpr std::uint8_t kModeApc = 0;

struct Request {
    Command command = Command::kIdentify;
    bool query = false;
    // A setting's parameter, checked for its type; exactly the one its command takes is set.
    std::optional<double> number;      // SOURce:CURRent, SOURce:POWer: finite
    std::optional<bool> on;            // OUTPut
    std::optional<std::uint8_t> mode;  // SOURce:MODE: kModeAcc or kModeApc
    std::string token;                 // SYSTem:AUTHenticate, exactly as sent (quotes removed)
    // For the audit log: the full header in short form and the parameter as written, printable
    // ASCII ("SOUR:POW -3.5", "MEAS:POW:OUTP?"); the token is never in it: "SYST:AUTH <token>".
    std::string text;
};

// One item per unit of the line, in order: a request, or the error it gave.
using Item = std::variant<Request, Error>;

// Linear in the line's length and never reads outside it; any bytes are accepted.
std::vector<Item> ParseLine(std::string_view line);

}  // namespace scpi
