#include "sim/FrameLog.h"

#include <cerrno>
#include <cstring>

#include "sim/Text.h"

namespace sim {

std::string FormatTime(SimTime t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(t / kNsPerS),
        static_cast<long long>(t % kNsPerS / 1000));
    return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t n)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0)
            out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes)
{
    return HexBytes(bytes.data(), bytes.size());
}

void FrameLog::AddFile(std::FILE* file, const std::string& name)
{
    AddSink([this, file, name](const std::string& line) {
        errno = 0;
        if (std::fputs(line.c_str(), file) != EOF && std::fflush(file) == 0)
            return;
        WriteFailed(name + ": " + (errno != 0 ? std::strerror(errno) : "write failed"));
        std::clearerr(file);
    });
}

void FrameLog::WriteFailed(const std::string& error)
{
    if (!m_writeError.empty())
        return;
    m_writeError = error;
    if (m_onWriteError)
        m_onWriteError(error);
}

void FrameLog::Frame(SimTime t, const char* tag, const std::vector<std::uint8_t>& bytes)
{
    Emit(t, tag, HexBytes(bytes));
}

void FrameLog::Event(SimTime t, const std::string& text)
{
    // Events may carry paths given on the command line.
    Emit(t, "EVENT", PrintableText(text));
}

void FrameLog::Emit(SimTime t, const char* tag, const std::string& rest)
{
    const std::string line = FormatTime(t) + " " + tag + " " + rest + "\n";
    for (const Sink& sink : m_sinks)
        sink(line);
}

}  // namespace sim
