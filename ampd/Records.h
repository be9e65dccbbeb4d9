// The server's files: the audit (one line per setting and per change of control) and the readings
// log (CSV, one line a poll). Each line is written whole and flushed at once.
#pragma once

#include <cstdio>
#include <string>

#include "ampd/Amplifier.h"
#include "protocol/Replies.h"

namespace ampd {

class LineFile {
public:
    LineFile() = default;
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;
    ~LineFile();

    // Appends to path; header is written first when the file is new or empty. False, with the
    // reason, when it cannot be opened.
    bool Open(const std::string& path, const std::string& header, std::string& error);
    bool IsOpen() const { return m_file != nullptr; }
    // Opens the path again, for a file that logrotate has moved away: later lines go to a new
    // file (its header first). False, with the reason, when it cannot be opened; the old one is
    // kept then, so no line is lost.
    bool Reopen(std::string& error);
    // A failed write is reported once on standard error; the server goes on.
    void Write(const std::string& line);

private:
    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_header;
    bool m_failed = false;
};

// "2026-12-07T10:15:02.250Z<TAB>127.0.0.1:40312<TAB>OUTP OFF<TAB>confirmed". Tabs, so that a
// command's blanks do not split it; the command comes printable from the parser, never with a token.
std::string AuditLine(WallTime time, const std::string& who, const std::string& command, const std::string& outcome);

// The readings log's header and lines: as ampctl watch --csv writes them.
const char* ReadingsHeader();
std::string ReadingsLine(WallTime time, const proto::StatusReply& status);

}  // namespace ampd
