#include "serial/WriteScheduler.h"

#include <algorithm>
#include <utility>

#include "protocol/Frames.h"

void WriteScheduler::Push(const std::uint8_t* bytes, std::size_t n, Ms now)
{
    if (m_queue.size() >= kCapacity) {
        Drop(std::move(m_queue.front().bytes));
        m_queue.pop_front();
    }
    m_queue.push_back(Pending{Bytes(bytes, bytes + n), now});
}

WriteScheduler::Ms WriteScheduler::DueAt(const Pending& frame) const
{
    if (m_lastSentAt == kNothingDue)
        return frame.askedAt;
    const Ms distance = std::min<Ms>(frame.askedAt - m_lastAskedAt, proto::kFrameSpacingMs);
    return std::max(frame.askedAt, m_lastSentAt + distance);
}

// When the frame must be on the line whole. A write longer than the bound's wire time (the port
// takes up to its buffer's size; the panel's longest frame takes 8 ms) can never be in time.
WriteScheduler::Ms WriteScheduler::Deadline(const Pending& frame)
{
    return frame.askedAt + kMaxAgeMs;
}

// Whether a write started then ends by the frame's deadline.
bool WriteScheduler::FitsInTime(const Pending& frame, Ms startAt)
{
    return startAt + proto::WireTimeMs(frame.bytes.size()) <= Deadline(frame);
}

void WriteScheduler::Drop(Bytes frame)
{
    ++m_dropped;
    if (m_droppedFrames.size() >= kCapacity)
        m_droppedFrames.pop_front();
    m_droppedFrames.push_back(std::move(frame));
}

// A frame that cannot be on the line whole by its deadline when it falls due can never go out fresh.
void WriteScheduler::DropStale(Ms now)
{
    while (!m_queue.empty()) {
        Pending& front = m_queue.front();
        if (FitsInTime(front, std::max(now, DueAt(front))))
            return;
        Drop(std::move(front.bytes));
        m_queue.pop_front();
    }
}

WriteScheduler::Ms WriteScheduler::UntilDue(Ms now)
{
    DropStale(now);
    if (m_queue.empty())
        return kNothingDue;
    return std::max<Ms>(0, DueAt(m_queue.front()) - now);
}

bool WriteScheduler::TakeDue(Ms now, Bytes& frame, Ms* finishBy)
{
    if (UntilDue(now) != 0)
        return false;
    if (!m_filler.empty()) {
        frame = std::move(m_filler);
        m_filler.clear();
        if (finishBy)
            *finishBy = kNothingDue;
        return true;
    }
    if (finishBy)
        *finishBy = Deadline(m_queue.front());
    frame = std::move(m_queue.front().bytes);
    m_lastAskedAt = m_queue.front().askedAt;
    m_queue.pop_front();
    m_lastSentAt = now;
    return true;
}

void WriteScheduler::Abandoned(Bytes frame)
{
    m_filler = proto::AbandonedFrameFiller(frame.data(), frame.size());
    Drop(std::move(frame));
}

void WriteScheduler::FillerRefused(Bytes filler)
{
    m_filler = std::move(filler);
    if (!m_queue.empty()) {
        Drop(std::move(m_queue.front().bytes));
        m_queue.pop_front();
    }
}

std::vector<WriteScheduler::Bytes> WriteScheduler::TakeDropped()
{
    std::vector<Bytes> dropped(
        std::make_move_iterator(m_droppedFrames.begin()), std::make_move_iterator(m_droppedFrames.end()));
    m_droppedFrames.clear();
    return dropped;
}

void WriteScheduler::Clear()
{
    m_queue.clear();
    m_droppedFrames.clear();
    m_filler.clear();
    m_lastAskedAt = kNothingDue;
    m_lastSentAt = kNothingDue;
    m_dropped = 0;
}
