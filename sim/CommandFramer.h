// Recognises the panel's command frames (EF EF LEN code data checksum) in the received byte
// stream. Unlike the panel's reply framer it resynchronises fully: after any failure it looks
// for a header again from the byte after the one it gave up on, so a frame hidden behind junk or
// behind a truncated frame is still found.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/Frames.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

class CommandFramer {
public:
    // The command set uses LEN 2 (query), 3 (one byte) and 4 (one word).
    static constexpr int kMinLen = 2;
    static constexpr int kMaxLen = 4;

    // Takes one byte; true when a checksummed frame ends with it (then see Frame()).
    bool Push(std::uint8_t b);
    const proto::Frame& Frame() const { return frame; }

    // Bytes given up since the last call, in arrival order.
    Bytes TakeJunk();
    bool HasJunk() const { return !junk.empty(); }
    // True when no partial frame is held.
    bool Idle() const { return pending.empty(); }
    // The partial frame will not be finished: its bytes join the junk.
    void GiveUpPending();

    void Reset();

private:
    enum class Verdict { NEED_MORE, FRAME, BROKEN };
    Verdict Examine() const;

    Bytes pending;
    Bytes junk;
    proto::Frame frame;
};

}  // namespace sim
