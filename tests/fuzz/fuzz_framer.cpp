// Arbitrary bytes into the reply framer: it must never read or write outside its buffer, and a
// completed frame must always carry a correct checksum of an accepted length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static proto::RxFramer framer;  // kept across inputs, as the panel keeps it across reopenings
    for (std::size_t i = 0; i < size; ++i) {
        if (!framer.Push(data[i]))
            continue;
        const int len = framer.Byte(2);
        if (len < proto::RxFramer::kMinLen || len > proto::RxFramer::kMaxLen)
            std::abort();
        if (proto::FrameChecksum(framer.Buffer(), static_cast<std::size_t>(len) + 2) != framer.Byte(len + 2))
            std::abort();
        if (framer.Byte(0) != proto::kReplyHeader1 || framer.Byte(1) != proto::kReplyHeader2)
            std::abort();
    }
    return 0;
}
