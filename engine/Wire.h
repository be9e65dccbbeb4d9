// The line itself as the engine sees it: frames go out one at a time, each at least a frame
// spacing after the write before it went to the driver, and the amplifier's bytes come back
// through the reply framer, of which only whole, checked replies count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/Types.h"
#include "protocol/RxFramer.h"

namespace engine {

// Where the engine's frames go: a serial port, a fake line in a test.
class LineOut {
public:
    static constexpr Us kPending = -1;  // the write goes on; the driver tells Wire::Written
    static constexpr Us kFailed = -2;   // the line has failed

    virtual ~LineOut() = default;
    // Discards input not read yet (a reply belongs to the frame just sent), then writes the whole
    // frame. Returns when it went to the driver, kPending, or kFailed.
    virtual Us Write(const std::uint8_t* bytes, std::size_t n) = 0;
};

class Wire {
public:
    // A whole, checked reply, with its bytes as they came.
    using OnReply = std::function<void(const proto::Reply& reply, const std::uint8_t* bytes, std::size_t n)>;

    explicit Wire(LineOut& out) : m_out(out) {}

    void CountInto(LineCounters* counters) { m_counters = counters; }

    // When the next frame may go: now, or one spacing after the last write went to the driver;
    // kNever while a write is under way.
    Us FreeAt() const;
    // Writes the frame; false when the line has failed.
    bool Send(const proto::Frame& frame);
    // The write under way went to the driver at now.
    void Written(Us now);
    bool Writing() const { return m_writing; }
    // When the last write went to the driver; 0 before the first.
    Us LastWriteUs() const { return m_lastWriteUs; }

    // Bytes from the amplifier, framed; each whole, checked reply goes to onReply in turn.
    void Receive(const std::uint8_t* bytes, std::size_t n, const OnReply& onReply);

private:
    LineOut& m_out;
    LineCounters* m_counters = nullptr;
    proto::RxFramer m_framer;
    Us m_lastWriteUs = 0;
    bool m_written = false;
    bool m_writing = false;
};

}  // namespace engine
