// The amplifier's side of the line without the line itself: received bytes in, the model
// answers, faults shape the replies, the pacer says when each byte goes out. Time is passed in,
// so tests drive it with virtual time and the event loop with the monotonic clock.
#pragma once

#include <cstdint>

#include "sim/AmpModel.h"
#include "protocol/CommandFramer.h"
#include "sim/Faults.h"
#include "sim/FrameLog.h"
#include "sim/TxPacer.h"

namespace sim {

struct FrameCounts {
    long rx = 0;     // command frames received whole
    long rxBad = 0;  // RX-BAD log lines: bytes dropped
    long tx = 0;     // replies whose first byte went out
};

class Engine {
public:
    Engine(const AmpSetup& setup, FrameLog& log);

    // Bytes that may still begin a frame are given up as bad once the line has been quiet this
    // long after them: some 19 byte times, more than a USB serial adapter holds bytes back.
    static constexpr SimTime kRxQuiet = Ms(20);

    // Bytes read from the line at time t.
    void Receive(SimTime t, const std::uint8_t* bytes, std::size_t n);
    // When received bytes held back are due to be given up; kNever when none are.
    SimTime RxQuietTime() const;
    // Gives them up, logged and counted as bad, once that time has come.
    void CheckRxQuiet(SimTime now);

    // When the next byte is to be written; kNever when nothing waits.
    SimTime NextTxTime() const;
    // The byte to write at `now`, if one is due.
    bool TakeTxByte(SimTime now, std::uint8_t& byte);

    // A reply sent at t that no command of the line asked for: what a panel sees when another
    // client of a server that shares the amplifier sets it.
    void Announce(SimTime t, const std::vector<std::uint8_t>& reply);

    // The line went away: half-received commands and unsent replies are forgotten.
    void DropLine();

    AmpModel& Model() { return m_model; }
    const AmpModel& Model() const { return m_model; }
    FaultSet& Faults() { return m_faults; }
    const FaultSet& Faults() const { return m_faults; }
    const FrameCounts& Counts() const { return m_counts; }
    FrameLog& Log() { return m_log; }

private:
    void Handle(SimTime t, const proto::Frame& command);
    void LogJunk(SimTime t);

    FrameLog& m_log;
    AmpModel m_model;
    proto::CommandFramer m_framer;
    FaultSet m_faults;
    TxPacer m_pacer;
    FrameCounts m_counts;
    SimTime m_lastRx = 0;  // when bytes were last read from the line
};

}  // namespace sim
