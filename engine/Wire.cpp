#include "engine/Wire.h"

#include <algorithm>

namespace engine {

namespace {

// The decoder reads each field at its frame position whatever LEN says, as the panel must: a reply
// shorter than its type's whole frame would hand the engine the bytes an earlier frame left
// behind, so here it counts for nothing. The encoder's frames are the whole ones.
bool IsWhole(const proto::RxFramer& framer, const proto::Reply& reply)
{
    const std::size_t received = framer.Byte(2) + std::size_t{3};  // ED FA LEN ... checksum
    return received >= proto::EncodeReply(reply).size();
}

}  // namespace

Us Wire::FreeAt() const
{
    if (m_writing)
        return kNever;
    return m_written ? m_lastWriteUs + kSpacingUs : 0;
}

bool Wire::Send(const proto::Frame& frame)
{
    m_writing = true;
    const Us wrote = m_out.Write(frame.bytes, frame.size);
    if (wrote == LineOut::kFailed) {
        m_writing = false;
        return false;
    }
    if (m_counters)
        ++m_counters->framesSent;
    if (wrote != LineOut::kPending)
        Written(wrote);
    return true;
}

void Wire::Written(Us now)
{
    m_writing = false;
    m_written = true;
    m_lastWriteUs = now;
}

void Wire::Receive(const std::uint8_t* bytes, std::size_t n, const OnReply& onReply)
{
    for (std::size_t i = 0; i < n; ++i) {
        const int at = m_framer.Index();
        if (!m_framer.Push(bytes[i])) {
            // Past the LEN byte, the only way back to hunting without a frame is a bad checksum.
            if (m_counters && at >= 3 && m_framer.Index() == 0)
                ++m_counters->checksumErrors;
            continue;
        }
        const proto::Reply reply = proto::DecodeReply(m_framer);
        // A reply shorter than its type is no answer: its fields beyond its end are an earlier
        // frame's.
        if (!IsWhole(m_framer, reply))
            continue;
        if (m_counters)
            ++m_counters->repliesReceived;
        std::uint8_t whole[128];
        const std::size_t size = std::min<std::size_t>(m_framer.Byte(2) + std::size_t{3}, sizeof whole);
        std::copy(m_framer.Buffer(), m_framer.Buffer() + size, whole);
        onReply(reply, whole, size);
    }
}

}  // namespace engine
