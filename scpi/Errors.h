// The errors a SCPI client of ampd is told of, each code with its text once, for the server that
// reports them and for ampctl, which reads them back. SCPI's own are negative; ampd's are
// positive. Platform-free, standard C++17 only.
#pragma once

#include <string>

namespace scpi {

// An error as a client's error queue holds it and SYSTem:ERRor? answers it.
struct Error {
    int code = 0;
    std::string text;  // "Undefined header", or with context: "Undefined header;FOO:BAR"
};

// One defined error: its code and its standard text. A constant, so that a switch can name the
// code; it stands wherever an Error is wanted.
struct KnownError {
    int code;
    const char* text;

    operator Error() const { return Error{code, text}; }
    // The text with what caused it after ';', as SCPI adds context.
    Error With(const std::string& context) const { return Error{code, std::string(text) + ';' + context}; }
};

inline constexpr KnownError kNoError{0, "No error"};

// SCPI's own. Which fault of a line gives which is the parser's (scpi/Parser.h); a line too long,
// a reading stale and a full error queue are the server's.
inline constexpr KnownError kSyntaxError{-102, "Syntax error"};
inline constexpr KnownError kDataTypeError{-104, "Data type error"};
inline constexpr KnownError kParameterNotAllowed{-108, "Parameter not allowed"};
inline constexpr KnownError kMissingParameter{-109, "Missing parameter"};
inline constexpr KnownError kUndefinedHeader{-113, "Undefined header"};
inline constexpr KnownError kDataOutOfRange{-222, "Data out of range"};
inline constexpr KnownError kTooMuchData{-223, "Too much data"};
inline constexpr KnownError kIllegalParameterValue{-224, "Illegal parameter value"};
inline constexpr KnownError kStale{-230, "Data corrupt or stale"};
inline constexpr KnownError kQueueOverflow{-350, "Queue overflow"};

// ampd's own, beside them; its HTTP side answers with the same texts.
inline constexpr KnownError kClamped{201, "Clamped"};
inline constexpr KnownError kAlarmLatched{202, "Alarm latched"};
inline constexpr KnownError kNoAnswer{210, "No answer from the amplifier"};
inline constexpr KnownError kNotConfirmed{211, "Setting not confirmed"};
inline constexpr KnownError kNotSentInTime{212, "Not sent in time"};
inline constexpr KnownError kTooManyPending{213, "Too many settings pending"};
inline constexpr KnownError kNotAuthorised{220, "Not authorised"};
inline constexpr KnownError kLinkDown{230, "Link down"};
inline constexpr KnownError kTooManyClients{240, "Too many clients"};

// An error as SYSTem:ERRor? answers it: -113,"Undefined header", +201,"Clamped", 0,"No error".
// A '"' in the text is doubled, as a SCPI string has it.
std::string FormatError(const Error& error);

// A SCPI string as a program or an answer writes it: in double quotes, a quote inside doubled.
std::string Quoted(const std::string& text);

}  // namespace scpi
