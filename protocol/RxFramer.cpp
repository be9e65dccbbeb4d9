#include "protocol/RxFramer.h"

#include "protocol/Frames.h"

namespace proto {

bool RxFramer::Push(std::uint8_t b)
{
    rxBuf[rxIndex] = b;
    switch (rxIndex) {
    case 0:
        if (b == kReplyHeader1)
            rxIndex = 1;
        return false;
    case 1:
        // A failed second header byte is not reconsidered as a first one.
        rxIndex = (b == kReplyHeader2) ? 2 : 0;
        return false;
    case 2:
        rxEnd = static_cast<std::uint8_t>(b + 2);
        if (rxEnd >= kMinLen + 2 && rxEnd <= kMaxLen + 2) {
            // 0xED + 0xFA = 0x1E7: the header's share of the checksum.
            rxSum = static_cast<std::uint8_t>(b + 0xE7);
            rxIndex = 3;
        } else {
            rxIndex = 0;
        }
        return false;
    default:
        if (rxIndex < rxEnd) {
            rxSum = static_cast<std::uint8_t>(rxSum + b);
            ++rxIndex;
            return false;
        }
        rxIndex = 0;
        return b == rxSum;
    }
}

}  // namespace proto
