#include "serial/WriteScheduler.h"

#include <algorithm>

#include "protocol/Frames.h"

void WriteScheduler::Push(const std::uint8_t* bytes, std::size_t n, Ms now)
{
    if (m_queue.size() >= kCapacity) {
        m_queue.pop_front();
        ++m_dropped;
    }
    m_queue.push_back(Pending{std::vector<std::uint8_t>(bytes, bytes + n), now});
}

WriteScheduler::Ms WriteScheduler::DueAt(const Pending& frame) const
{
    if (m_lastSentAt == kNothingDue)
        return frame.askedAt;
    const Ms distance = std::min<Ms>(frame.askedAt - m_lastAskedAt, proto::kFrameSpacingMs);
    return std::max(frame.askedAt, m_lastSentAt + distance);
}

// A frame whose age will be past the bound when it falls due can never go out fresh.
void WriteScheduler::DropStale(Ms now)
{
    while (!m_queue.empty()) {
        const Pending& front = m_queue.front();
        if (std::max(now, DueAt(front)) - front.askedAt <= kMaxAgeMs)
            return;
        m_queue.pop_front();
        ++m_dropped;
    }
}

WriteScheduler::Ms WriteScheduler::UntilDue(Ms now)
{
    DropStale(now);
    if (m_queue.empty())
        return kNothingDue;
    return std::max<Ms>(0, DueAt(m_queue.front()) - now);
}

bool WriteScheduler::TakeDue(Ms now, std::vector<std::uint8_t>& frame)
{
    if (UntilDue(now) != 0)
        return false;
    frame = std::move(m_queue.front().bytes);
    m_lastAskedAt = m_queue.front().askedAt;
    m_queue.pop_front();
    m_lastSentAt = now;
    return true;
}

void WriteScheduler::Clear()
{
    m_queue.clear();
    m_lastAskedAt = kNothingDue;
    m_lastSentAt = kNothingDue;
    m_dropped = 0;
}
