#include "sim/CommandFramer.h"

#include <algorithm>

namespace sim {

bool CommandFramer::Push(std::uint8_t b)
{
    pending.push_back(b);
    for (;;) {
        switch (Examine()) {
        case Verdict::NEED_MORE:
            return false;
        case Verdict::FRAME:
            frame.size = static_cast<std::uint8_t>(pending[2] + 3);
            std::copy(pending.begin(), pending.begin() + frame.size, frame.bytes);
            pending.erase(pending.begin(), pending.begin() + frame.size);
            return true;
        case Verdict::BROKEN:
            // Give up one byte only and look again from the next.
            junk.push_back(pending.front());
            pending.erase(pending.begin());
            break;
        }
    }
}

CommandFramer::Verdict CommandFramer::Examine() const
{
    const std::size_t n = pending.size();
    if (n == 0)
        return Verdict::NEED_MORE;
    if (pending[0] != proto::kCommandHeader)
        return Verdict::BROKEN;
    if (n >= 2 && pending[1] != proto::kCommandHeader)
        return Verdict::BROKEN;
    if (n < 3)
        return Verdict::NEED_MORE;
    const int len = pending[2];
    if (len < kMinLen || len > kMaxLen)
        return Verdict::BROKEN;
    const std::size_t size = static_cast<std::size_t>(len) + 3;
    if (n < size)
        return Verdict::NEED_MORE;
    if (proto::FrameChecksum(pending.data(), size - 1) != pending[size - 1])
        return Verdict::BROKEN;
    return Verdict::FRAME;
}

Bytes CommandFramer::TakeJunk()
{
    Bytes out;
    out.swap(junk);
    return out;
}

void CommandFramer::GiveUpPending()
{
    junk.insert(junk.end(), pending.begin(), pending.end());
    pending.clear();
}

void CommandFramer::Reset()
{
    pending.clear();
    junk.clear();
}

}  // namespace sim
