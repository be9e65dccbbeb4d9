// When each frame handed to the port goes out, or whether it goes out at all. Standard C++ only:
// the Win32 worker and the headless port run the same rule, each on its own clock.
//
// - A frame goes out as soon as the worker can write, once it is due.
// - A frame keeps, behind the frame before it, the distance its sender gave it, up to one frame
//   spacing (the time the amplifier is given to answer; every write discards unread input). So
//   when the worker went out late with the first frame of an action, the second still follows it
//   a spacing later, and frames paced further apart by their sender are not held back.
// - A frame that could not be on the line whole within kMaxAgeMs of being asked for is dropped
//   unsent: a command the operator gave before a stall (a report box, a write held up by flow
//   control) must never reach the laser late, and frames are never replayed. The bound runs to
//   the end of the write: a frame is taken only if its wire time still fits, and the worker
//   abandons a write that has not finished by the deadline TakeDue gives.
// - Every frame dropped is kept for its sender to collect (TakeDropped): a setting that never
//   went out must not be believed sent.
// - A write abandoned part way may leave part of its frame on the line, which the amplifier would
//   join to the next frame's bytes (a set-current cut before its checksum is completed by the next
//   frame's first byte when that checksum is EF). A filler (proto::AbandonedFrameFiller) is then
//   owed: it goes first when the next frame falls due, so the amplifier has given the part up when
//   that frame starts. It keeps no deadline (it changes nothing on the amplifier), and frames after
//   it keep their spacing, as if it were not there. The worker lets its write run as long as the
//   line holds it, and never gives it up for lateness: a filler cut short and sent again can
//   itself complete the frame (EF EF 04 04 1A cut, filler 01 00 00 00 cut after its first byte,
//   then whole: EF EF 04 04 1A 01 01 sets the power).
//
// Not thread-safe: the Win32 port guards it with a lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class WriteScheduler {
public:
    using Ms = std::int64_t;  // any monotonic millisecond clock
    using Bytes = std::vector<std::uint8_t>;
    static constexpr Ms kNothingDue = -1;
    // Well above the frame spacing (a frame queued behind another waits one spacing), well
    // below what an operator notices.
    static constexpr Ms kMaxAgeMs = 250;
    // A worker that cannot write must not make the queue grow without bound: the oldest frame
    // gives way to the newest (it would be stale anyway).
    static constexpr std::size_t kCapacity = 16;

    void Push(const std::uint8_t* bytes, std::size_t n, Ms now);
    // Drops the frames that have gone stale; returns how long until the next one is due (0: now),
    // or kNothingDue.
    Ms UntilDue(Ms now);
    // Takes the next frame if it is due and fresh (stale ones are dropped on the way), or the filler
    // owed before it; false when none is due now. finishBy, when given, is when the write must have
    // ended (past it, the worker abandons the write), or kNothingDue for the filler.
    bool TakeDue(Ms now, Bytes& frame, Ms* finishBy = nullptr);
    // A frame taken was not written whole (the worker abandoned it, or the write failed part way):
    // it counts as dropped, and its filler is owed.
    void Abandoned(Bytes frame);
    // The filler's write was refused, none of it sent: it is owed again, and the frame it was to
    // go before is dropped, as a frame whose own write is refused goes (one attempt, one report).
    void FillerRefused(Bytes filler);
    // The frames dropped since the last call, oldest first.
    std::vector<Bytes> TakeDropped();
    void Clear();

    bool Empty() const { return m_queue.empty(); }
    // Frames dropped as stale, crowded out or abandoned since the last Clear.
    std::size_t Dropped() const { return m_dropped; }

private:
    struct Pending {
        Bytes bytes;
        Ms askedAt;
    };
    Ms DueAt(const Pending& frame) const;
    static Ms Deadline(const Pending& frame);
    static bool FitsInTime(const Pending& frame, Ms startAt);
    void DropStale(Ms now);
    void Drop(Bytes frame);

    std::deque<Pending> m_queue;
    Ms m_lastAskedAt = kNothingDue;  // of the frame that went out last
    Ms m_lastSentAt = kNothingDue;
    std::size_t m_dropped = 0;
    // Kept for their sender; as bounded as the queue they came from.
    std::deque<Bytes> m_droppedFrames;
    Bytes m_filler;  // owed before the next frame; empty when none is
};
