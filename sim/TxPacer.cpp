#include "sim/TxPacer.h"

#include <algorithm>
#include <utility>

namespace sim {

void TxPacer::Enqueue(TxChunk chunk)
{
    if (!chunk.bytes.empty())
        m_queue.push_back(std::move(chunk));
}

void TxPacer::Clear()
{
    m_queue.clear();
    m_offset = 0;
}

SimTime TxPacer::NextDue() const
{
    if (m_queue.empty())
        return kNever;
    if (m_offset > 0)
        return LineFreeAt();
    const TxChunk& c = m_queue.front();
    return std::max(c.readyAt, LineFreeAt() + c.gap);
}

bool TxPacer::Take(SimTime now, Sent& out)
{
    if (m_queue.empty() || now < NextDue())
        return false;

    if (m_burstBytes > 0 && now == LineFreeAt()) {
        ++m_burstBytes;
    } else {
        m_burstStart = now;
        m_burstBytes = 1;
    }

    TxChunk& c = m_queue.front();
    out.value = c.bytes[m_offset];
    out.startsChunk = (m_offset == 0);
    out.logBytes = out.startsChunk ? c.logBytes : std::vector<std::uint8_t>{};
    out.isReply = out.startsChunk && c.isReply;
    if (++m_offset == c.bytes.size()) {
        m_queue.pop_front();
        m_offset = 0;
    }
    return true;
}

}  // namespace sim
