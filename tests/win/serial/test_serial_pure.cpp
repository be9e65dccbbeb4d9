// The port engine's pure parts: the error report's text (its exact frame, and what happens when
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
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(buffer[i], kGuard) << "written before the buffer";
        EXPECT_EQ(buffer[16 + size + i], kGuard) << "written after the buffer";
    }
    EXPECT_EQ(length, std::strlen(out));
    EXPECT_LT(length, size);
    return std::string(out, length);
}

TEST(PortReport, FitsExactly)
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
    };
    for (const auto& c : cases)
        EXPECT_EQ(Compose(kPortReportSize, c.label, c.systemText, c.port), c.expected);
}

TEST(PortReport, LongSystemTextIsShortenedAndThePortLineKept)
{
    const std::string longText(400, 'x');
    const std::string text = Compose(kPortReportSize, "GetOverlappedResults() in WriteFile()",
                                     longText.c_str(), 12);
    EXPECT_EQ(text.size(), kPortReportSize - 1) << "the buffer is used up to its end";
    EXPECT_EQ(text.substr(0, 84),
              "WARNING:  GetOverlappedResults() in WriteFile() Failed with the following error: \nxx");
    EXPECT_EQ(text.substr(text.size() - 11), "x\nPort: 12\n");
}

TEST(PortReport, OversizedLabelIsCutAtTheBufferEnd)
{
    const std::string label(300, 'L');
    const std::string text = Compose(kPortReportSize, label.c_str(), "text", 1);
    EXPECT_EQ(text, "WARNING:  " + std::string(kPortReportSize - 11, 'L'));
}

TEST(PortReport, TinyBuffersStayTerminated)
{
    for (size_t size : {1u, 2u, 11u}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Compose(size, "ReadFile()", "text", 1), std::string("WARNING:  ").substr(0, size - 1));
    }
    char untouched = kGuard;
    EXPECT_EQ(ComposePortReport(&untouched, 0, "ReadFile()", "text", 1), 0u);
    EXPECT_EQ(untouched, kGuard) << "a zero-size buffer is not written";
}

TEST(PortReport, MissingPartsReadAsEmpty)
{
    EXPECT_EQ(Compose(kPortReportSize, nullptr, nullptr, 5),
              "WARNING:   Failed with the following error: \n\nPort: 5\n");
}

TEST(LineCodes, ParityLetters)
{
    const struct {
        char letter;
        BYTE code;
    } cases[] = {
        {'N', NOPARITY}, {'O', ODDPARITY}, {'E', EVENPARITY}, {'M', MARKPARITY},
        {'S', SPACEPARITY}, {'X', NOPARITY}, {'o', NOPARITY}, {'\0', NOPARITY},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParityCode(c.letter), c.code) << "letter " << int(c.letter);
}

TEST(LineCodes, StopBits)
{
    const struct {
        UINT argument;
        BYTE code;
    } cases[] = {
        {0, ONESTOPBIT}, {1, ONE5STOPBITS}, {2, TWOSTOPBITS}, {3, ONESTOPBIT}, {0xFFFFFFFF, ONESTOPBIT},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StopBitsCode(c.argument), c.code) << "argument " << c.argument;
}

}  // namespace
