// The port engine's pure parts: the error report's text (its exact frame, and how it is cut when
// the parts do not fit) and the codes of the line settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/win32/LineCodes.h"
#include "serial/win32/PortReport.h"

namespace {

constexpr char kGuard = '\x5A';

// Composes into a buffer with guard bytes on both sides, and checks they are untouched.
std::string Compose(size_t size, const char* label, const char* systemText, unsigned port)
{
    std::string buffer(size + 32, kGuard);
    char* out = &buffer[16];
    const size_t length = ComposePortReport(out, size, label, systemText, port);
    EXPECT_EQ(buffer.substr(0, 16), std::string(16, kGuard)) << "written before the buffer";
    EXPECT_EQ(buffer.substr(16 + size), std::string(16, kGuard)) << "written after the buffer";
    EXPECT_EQ(length, std::strlen(out));
    EXPECT_LT(length, size);
    return std::string(out, length);
}

TEST(PortReport, FramesLabelSystemTextAndPort)
{
    const struct {
        const char* label;
        const char* systemText;
        unsigned port;
        const char* expected;
    } cases[] = {
        {"WriteFile()", "Access denied.\r\n", 3,
            "WARNING:  WriteFile() Failed with the following error: \nAccess denied.\r\n\nPort: 3\n"},
        {"GetOverlappedResults() in ReadFile()", "", 254,
            "WARNING:  GetOverlappedResults() in ReadFile() Failed with the following error: \n\nPort: 254\n"},
        {nullptr, nullptr, 5, "WARNING:   Failed with the following error: \n\nPort: 5\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Compose(kPortReportSize, c.label, c.systemText, c.port), c.expected);
}

TEST(PortReport, WhatDoesNotFitIsCutInsideTheBuffer)
{
    // A long system text is shortened so the port line survives, using the buffer to its end.
    const std::string head = "WARNING:  GetOverlappedResults() in WriteFile() Failed with the following error: \n";
    const std::string tail = "\nPort: 12\n";
    EXPECT_EQ(Compose(kPortReportSize, "GetOverlappedResults() in WriteFile()", std::string(400, 'x').c_str(), 12),
        head + std::string(kPortReportSize - 1 - head.size() - tail.size(), 'x') + tail);
    // A label that alone overflows is cut at the buffer's end.
    EXPECT_EQ(Compose(kPortReportSize, std::string(300, 'L').c_str(), "text", 1),
        "WARNING:  " + std::string(kPortReportSize - 11, 'L'));
    for (size_t size : {1u, 2u, 11u})
        EXPECT_EQ(Compose(size, "ReadFile()", "text", 1), std::string("WARNING:  ").substr(0, size - 1)) << size;
    char untouched = kGuard;
    EXPECT_EQ(ComposePortReport(&untouched, 0, "ReadFile()", "text", 1), 0u);
    EXPECT_EQ(untouched, kGuard) << "a zero-size buffer is not written";
}

TEST(LineCodes, ParityLettersAndStopBitCodes)
{
    const struct {
        char letter;
        BYTE parity;
        UINT stopBits;
        BYTE stopCode;
    } cases[] = {
        {'N', NOPARITY, 0, ONESTOPBIT},
        {'O', ODDPARITY, 1, ONE5STOPBITS},
        {'E', EVENPARITY, 2, TWOSTOPBITS},
        {'M', MARKPARITY, 3, ONESTOPBIT},
        {'S', SPACEPARITY, 0xFFFFFFFF, ONESTOPBIT},
        {'X', NOPARITY, 0, ONESTOPBIT},
        {'o', NOPARITY, 0, ONESTOPBIT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParityCode(c.letter), c.parity) << "letter " << int(c.letter);
        EXPECT_EQ(StopBitsCode(c.stopBits), c.stopCode) << "stop bits " << c.stopBits;
    }
}

}  // namespace
