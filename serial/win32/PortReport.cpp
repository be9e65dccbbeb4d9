#include <windows.h>

#include "afx/win32/winsys.h"

#include "serial/win32/PortReport.h"

#include <cstdio>
#include <cstring>

namespace {

// The system text goes in through a precision so it can be shortened.
constexpr char kReportFormat[] = "WARNING:  %s Failed with the following error: \n%.*s\nPort: %d\n";
constexpr char kReportCaption[] = "Application Error";

}  // namespace

std::size_t ComposePortReport(char* out, std::size_t size, const char* label, const char* systemText, unsigned portNr)
{
    if (size == 0)
        return 0;
    label = label ? label : "";
    systemText = systemText ? systemText : "";
    const int port = static_cast<int>(portNr);

    const int frame = std::snprintf(nullptr, 0, kReportFormat, label, 0, "", port);
    const std::size_t room
        = frame >= 0 && static_cast<std::size_t>(frame) < size - 1 ? size - 1 - static_cast<std::size_t>(frame) : 0;
    const std::size_t textLength = strnlen(systemText, room);

    const int written = std::snprintf(out, size, kReportFormat, label, static_cast<int>(textLength), systemText, port);
    if (written < 0) {
        out[0] = '\0';
        return 0;
    }
    return std::strlen(out);
}

void ReportPortError(const char* label, unsigned long error, unsigned portNr)
{
    char* systemText = nullptr;
    const DWORD found = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&systemText), 0, nullptr);

    char unknown[40];
    if (found == 0) {
        std::snprintf(unknown, sizeof unknown, "Unknown error %lu.", error);
    }
    char text[kPortReportSize];
    ComposePortReport(text, sizeof text, label, found ? systemText : unknown, portNr);
    MessageBoxA(nullptr, text, kReportCaption, MB_ICONSTOP | MB_OK);
    LocalFree(systemText);
}
