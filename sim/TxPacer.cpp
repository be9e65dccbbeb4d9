#include "sim/TxPacer.h"

#include <algorithm>
#include <utility>

namespace sim {

void TxPacer::Enqueue(TxChunk chunk)
{
    if (!chunk.bytes.empty())
        queue.push_back(std::move(chunk));
}

void TxPacer::Clear()
{
    queue.clear();
    offset = 0;
}

SimTime TxPacer::NextDue() const
{
    if (queue.empty())
        return NEVER;
    if (offset > 0)
        return LineFreeAt();
    const TxChunk& c = queue.front();
    return std::max(c.readyAt, LineFreeAt() + c.gap);
}

bool TxPacer::Take(SimTime now, Sent& out)
{
    if (queue.empty() || now < NextDue())
        return false;

    if (burstBytes > 0 && now == LineFreeAt()) {
        ++burstBytes;
    } else {
        burstStart = now;
        burstBytes = 1;
    }

    TxChunk& c = queue.front();
    out.value = c.bytes[offset];
    out.startsChunk = (offset == 0);
    out.logBytes = out.startsChunk ? c.logBytes : std::vector<std::uint8_t>{};
    out.isReply = out.startsChunk && c.isReply;
    if (++offset == c.bytes.size()) {
        queue.pop_front();
        offset = 0;
    }
    return true;
}

}  // namespace sim
