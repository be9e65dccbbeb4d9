// One line per frame or event, flushed at once so a reader can follow the log while it grows:
//   <t> RX <hex>       a frame from the panel, at the time its last byte arrived
//   <t> RX-BAD <hex>   bytes dropped: bad checksum, bad header or length, junk; at the time they
//                      were given up (at once, or after the line was quiet for Engine::kRxQuiet)
//   <t> TX <hex>       bytes sent, at the time their first byte went out
//   <t> EVENT <text>   what the operator or the simulator did
// t is in seconds since the simulator started, with 6 decimals; hex is upper case, space separated.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimTime.h"

namespace sim {

std::string FormatTime(SimTime t);
std::string HexBytes(const std::uint8_t* bytes, std::size_t n);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

class FrameLog {
public:
    using Sink = std::function<void(const std::string& line)>;

    FrameLog() = default;
    FrameLog(const FrameLog&) = delete;  // file sinks refer back to it
    FrameLog& operator=(const FrameLog&) = delete;

    // Every line goes to every sink, newline included.
    void AddSink(Sink sink) { m_sinks.push_back(std::move(sink)); }
    // A stream sink that flushes after each line; the stream stays the caller's. A line it cannot
    // write is lost and the failure noted under `name`; later lines are still tried.
    void AddFile(std::FILE* file, const std::string& name);

    // The first failed write, "name: why"; empty while every line has been written.
    const std::string& WriteError() const { return m_writeError; }
    // Told the first failed write, once.
    void OnWriteError(std::function<void(const std::string& error)> report) { m_onWriteError = std::move(report); }

    void Frame(SimTime t, const char* tag, const std::vector<std::uint8_t>& bytes);
    void Event(SimTime t, const std::string& text);

private:
    void Emit(SimTime t, const char* tag, const std::string& rest);
    void WriteFailed(const std::string& error);

    std::vector<Sink> m_sinks;
    std::string m_writeError;
    std::function<void(const std::string&)> m_onWriteError;
};

}  // namespace sim
