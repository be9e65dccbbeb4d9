#include "protocol/CommandFramer.h"

#include <algorithm>

#include "protocol/Commands.h"

namespace proto {

bool CommandFramer::Push(std::uint8_t b)
{
    m_pending.push_back(b);
    for (;;) {
        switch (Examine()) {
        case Verdict::kNeedMore:
            return false;
        case Verdict::kFrame:
            m_frame.size = static_cast<std::uint8_t>(m_pending[2] + 3);
            std::copy(m_pending.begin(), m_pending.begin() + m_frame.size, m_frame.bytes);
            m_pending.erase(m_pending.begin(), m_pending.begin() + m_frame.size);
            return true;
        case Verdict::kBroken:
            // Give up one byte only and look again from the next.
            m_junk.push_back(m_pending.front());
            m_pending.erase(m_pending.begin());
            break;
        }
    }
}

CommandFramer::Verdict CommandFramer::Examine() const
{
    const std::size_t n = m_pending.size();
    if (n == 0)
        return Verdict::kNeedMore;
    if (m_pending[0] != proto::kCommandHeader)
        return Verdict::kBroken;
    if (n >= 2 && m_pending[1] != proto::kCommandHeader)
        return Verdict::kBroken;
    if (n < 3)
        return Verdict::kNeedMore;
    const int len = m_pending[2];
    if (len < kMinLen || len > kMaxLen)
        return Verdict::kBroken;
    const std::size_t size = static_cast<std::size_t>(len) + 3;
    if (n < size)
        return Verdict::kNeedMore;
    if (proto::FrameChecksum(m_pending.data(), size - 1) != m_pending[size - 1])
        return Verdict::kBroken;
    if (m_strict) {
        const CommandInfo* command = FindCommand(m_pending[3]);
        if (!command || command->len != len)
            return Verdict::kBroken;
    }
    return Verdict::kFrame;
}

Bytes CommandFramer::TakeJunk()
{
    Bytes out;
    out.swap(m_junk);
    return out;
}

void CommandFramer::GiveUpPending()
{
    m_junk.insert(m_junk.end(), m_pending.begin(), m_pending.end());
    m_pending.clear();
}

void CommandFramer::Reset()
{
    m_pending.clear();
    m_junk.clear();
}

}  // namespace proto
