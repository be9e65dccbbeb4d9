// The amplifier's line, held for good: the link check until the amplifier answers, then a status
// poll at the panel's cadence, the clients' settings one whole setting at a time (each read back
// with the settings and the output afterwards), the guard, and a link that goes down when the
// amplifier falls silent and comes back with queries only. Platform-free: it runs ampctl's session
// over a byte stream and a clock, on a thread of its own, and tells a sink what it learns.
#pragma once

#include <atomic>
#include <cstdint>

#include "ampctl/Line.h"
#include "ampctl/Session.h"
#include "ampd/Guard.h"
#include "ampd/SettingQueue.h"

namespace ampd {

// What the line owner tells the rest of the server; called on the line's thread.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void OnLink(bool up) = 0;
    // Every checked reply, from polls, link checks and settings alike.
    virtual void OnReply(const proto::Reply& reply) = 0;
    // A guard limit broken on two polls in a row; true when that latched a new alarm (the output
    // is then switched off).
    virtual bool OnBreach(const Breach& breach) = 0;
    // While a limit alarm is latched the output is not switched on.
    virtual bool LimitAlarmLatched() = 0;
    virtual void OnSettingDone(const SettingRequest& request, const SettingDone& done) = 0;
};

class LineOwner {
public:
    static constexpr int kPollMs = 200;             // the panel's cadence once linked
    static constexpr int kSilentMs = 1000;          // no checked reply for longer: the link is down
    static constexpr int kProbeTimeoutMs = 1000;    // one link check: two probe rounds
    static constexpr int kConfirmTimeoutMs = 1000;  // a setting's read-back waits this long at most
    static constexpr int kReadBackTimeoutMs = 500;  // the settings and output asked after a setting

    LineOwner(ampctl::ByteStream& line, ampctl::Clock& clock, SettingQueue& queue, LineSink& sink,
        const GuardLimits& limits, const std::atomic<bool>& stop);

    // Frames and replies are counted there as they cross the line.
    void CountInto(ampctl::LineCounters* counters) { m_session.CountInto(counters); }

    // Holds one opened line until it fails (kLineFailed) or a stop request (kInterrupted). Settings
    // asked while the link is down fail at once, unsent; none is kept for after a reconnect.
    ampctl::Outcome Run();

private:
    void OnReply(const proto::Reply& reply);
    ampctl::Outcome Probe();
    ampctl::Outcome Poll();
    ampctl::Outcome Apply(SettingRequest& request);
    void LinkDown();
    void FailWaiting(Fate fate);
    void Finish(const SettingRequest& request, const SettingDone& done);
    bool Silent() const;

    ampctl::Clock& m_clock;
    SettingQueue& m_queue;
    LineSink& m_sink;
    Guard m_guard;
    const std::atomic<bool>& m_stop;
    ampctl::Session m_session;
    bool m_linked = false;
    std::int64_t m_lastReplyUs = 0;
    std::int64_t m_nextPollUs = 0;
};

}  // namespace ampd
