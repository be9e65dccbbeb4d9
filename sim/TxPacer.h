// Sends queued bytes on the line's schedule: one byte per 10 bit times at 9600 baud, never
// faster, each chunk no earlier than it is ready.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/SimTime.h"

namespace sim {

struct TxChunk {
    std::vector<std::uint8_t> bytes;
    SimTime readyAt = 0;                 // first byte not before this
    SimTime gap = 0;                     // and not before the line has been quiet this long
    std::vector<std::uint8_t> logBytes;  // logged when the first byte goes out; empty: no log line
    bool isReply = false;                // counted as a reply frame sent
};

class TxPacer {
public:
    explicit TxPacer(int lineBaud = kLineBaud) : m_baud(lineBaud) {}

    void Enqueue(TxChunk chunk);
    void Clear();
    bool Empty() const { return m_queue.empty(); }

    // When the next byte may start; kNever when nothing is queued.
    SimTime NextDue() const;
    // When the last byte sent has left the line (its stop bit has ended).
    SimTime LineFreeAt() const { return m_burstStart + ByteOffset(m_burstBytes, m_baud); }

    struct Sent {
        std::uint8_t value = 0;
        bool startsChunk = false;
        std::vector<std::uint8_t> logBytes;
        bool isReply = false;
    };
    // Takes the byte due at `now`; false when none is due yet. A byte sent later than its slot
    // restarts the line's clock at `now`, so bytes never bunch up to catch up.
    bool Take(SimTime now, Sent& out);

private:
    int m_baud;
    std::deque<TxChunk> m_queue;
    std::size_t m_offset = 0;  // next byte of the front chunk
    SimTime m_burstStart = 0;  // first byte of the present unbroken run of bytes
    std::int64_t m_burstBytes = 0;
};

}  // namespace sim
