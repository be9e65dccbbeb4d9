// The port engine's error report: a message box naming the failed call, the system's text for
// the error and the port.
#pragma once

#include <cstddef>

constexpr std::size_t kPortReportSize = 200;

// Fills out (size bytes) with "WARNING:  <label> Failed with the following error: \n<text>\n
// Port: <n>\n". When it does not fit, the system text is shortened first so the port line
// survives; the result is always terminated inside out. Returns the length written.
std::size_t ComposePortReport(char* out, std::size_t size, const char* label, const char* systemText, unsigned portNr);

// Shows the report for error (a system error code) and waits until the operator dismisses it.
void ReportPortError(const char* label, unsigned long error, unsigned portNr);
