// The amplifier's line, held for good: the link check until the amplifier answers, then a status
// poll at the panel's cadence, the clients' settings one whole setting at a time (each read back
// with the settings and the output afterwards), the guard, and a link that goes down when the
// amplifier falls silent and comes back with queries only. Platform-free: it runs ampctl's session
// over a byte stream and a clock, on a thread of its own, and tells a sink what it learns.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>

#include "ampctl/Line.h"
#include "ampctl/Session.h"
#include "ampd/Guard.h"
#include "ampd/PanelLink.h"
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
    // The panel's longest natural gap (its 500 ms poll after a setting) and a margin: while it has
    // sent anything more recently, its polls stand in for ours.
    static constexpr int kPanelQuietMs = 700;
    // The second frame of the panel's pair comes one spacing after the first; this long is waited.
    static constexpr int kPairWindowMs = 250;
    // With a panel linked the line is read in slices this short, so its frames go out promptly.
    static constexpr int kPanelSliceMs = 5;

    // panel: a line that behaves to a panel as the amplifier does, open while the link is up; none
    // without one.
    LineOwner(ampctl::ByteStream& line, ampctl::Clock& clock, SettingQueue& queue, LineSink& sink,
        const GuardLimits& limits, const std::atomic<bool>& stop, PanelPort* panel = nullptr);
    ~LineOwner();

    // Frames and replies are counted there as they cross the line.
    void CountInto(ampctl::LineCounters* counters) { m_session.CountInto(counters); }

    // Holds one opened line until it fails (kLineFailed) or a stop request (kInterrupted). Settings
    // asked while the link is down fail at once, unsent; none is kept for after a reconnect.
    ampctl::Outcome Run();

private:
    // The session reads the line through this: the panel's bytes are taken in on every read.
    class Tap : public ampctl::ByteStream {
    public:
        Tap(LineOwner& owner, ampctl::ByteStream& line) : m_owner(owner), m_line(line) {}
        bool Write(const std::uint8_t* bytes, std::size_t n) override { return m_line.Write(bytes, n); }
        int Read(std::uint8_t* into, std::size_t max, int timeoutMs) override;

    private:
        LineOwner& m_owner;
        ampctl::ByteStream& m_line;
    };

    // A setting of the panel: its frame, and whether the pair's second has come.
    struct PanelFrames {
        proto::Frame frame;
        PanelSetting setting;
        std::int64_t arrivedUs = 0;
        bool second = false;
    };

    void OnReply(const proto::Reply& reply);
    void TakePanelBytes();
    void OnPanelFrame(const proto::Frame& frame);
    void OpenPanel();
    void HangUpPanel();
    ampctl::Outcome ApplyPanel(SettingRequest& request);
    std::int64_t NextPollUs() const;
    ampctl::Outcome Probe();
    ampctl::Outcome Poll();
    ampctl::Outcome Apply(SettingRequest& request);
    void LinkDown();
    void FailWaiting(Fate fate);
    void Finish(const SettingRequest& request, const SettingDone& done);
    bool Silent() const;

    Tap m_tap;
    ampctl::Clock& m_clock;
    SettingQueue& m_queue;
    LineSink& m_sink;
    Guard m_guard;
    const std::atomic<bool>& m_stop;
    ampctl::Session m_session;
    bool m_linked = false;
    std::int64_t m_lastReplyUs = 0;
    std::int64_t m_nextPollUs = 0;

    PanelPort* m_panel;
    bool m_panelOpen = false;
    PanelFramer m_panelFramer;
    std::int64_t m_lastPanelUs = 0;
    bool m_panelHeard = false;                // since the panel's line was opened
    std::deque<proto::Frame> m_panelQueries;  // to go out as the line allows
    std::deque<PanelFrames> m_panelSettings;  // queued, in the queue's order
    std::optional<PanelFrames> m_panelApplying;
    std::optional<std::int32_t> m_panelEcho;  // the applying setting's echo, when heard
    std::optional<std::uint8_t> m_output;     // the output as last reported
    std::optional<proto::Frame> m_lastRefused;
    std::int64_t m_lastRefusedUs = 0;
};

}  // namespace ampd
