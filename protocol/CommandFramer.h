// Finds the command frames (EF EF LEN code data checksum) in a received byte stream, as the
// amplifier does. Unlike the panel's reply framer it resynchronises fully: after any failure it
// looks for a header again from the byte after the one it gave up on, so a frame hidden behind
// junk or behind a truncated frame is still found.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/Frames.h"

namespace proto {

using Bytes = std::vector<std::uint8_t>;

class CommandFramer {
public:
    // The command set uses LEN 2 (query), 3 (one byte) and 4 (one word).
    static constexpr int kMinLen = 2;
    static constexpr int kMaxLen = 4;

    // strict: a frame whose code is outside the command set, or whose LEN is not its code's, is
    // given up as broken (what a server passes on must be a command the amplifier takes).
    // Otherwise any checksummed frame of LEN 2 to 4 is a frame, as the amplifier frames them
    // before it looks at the code.
    explicit CommandFramer(bool strict = false) : m_strict(strict) {}

    // Takes one byte; true when a frame ends with it (then see Frame()).
    bool Push(std::uint8_t b);
    const proto::Frame& Frame() const { return m_frame; }

    // Bytes given up since the last call, in arrival order.
    Bytes TakeJunk();
    bool HasJunk() const { return !m_junk.empty(); }
    // True when no partial frame is held.
    bool Idle() const { return m_pending.empty(); }
    // The partial frame will not be finished: its bytes join the junk.
    void GiveUpPending();

    void Reset();

private:
    enum class Verdict { kNeedMore, kFrame, kBroken };
    Verdict Examine() const;

    bool m_strict;
    Bytes m_pending;
    Bytes m_junk;
    proto::Frame m_frame;
};

}  // namespace proto
