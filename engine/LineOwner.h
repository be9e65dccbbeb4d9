// The amplifier's line, held for good: the link check until the amplifier answers, then a status
// poll at the panel's cadence with the output asked between polls, the clients' settings one whole
// setting at a time (each read back with the settings and the output afterwards), a panel's frames
// passed on in their turn, and a link that goes down when the amplifier falls silent and comes back
// with queries only. Latched means off: while an alarm that holds the output off is latched, the
// owner switches the output off whenever it finds it on, ahead of everything, until confirmed.
// Event-driven and platform-free: bytes, time and requests go in (Receive, PanelReceive, Written,
// Tick, the queue); frames go to a LineOut, and what it learns to a LineSink. It never blocks,
// sleeps or starts a thread; the driver calls Tick again at NextWakeUs().
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "engine/Exchange.h"
#include "engine/Guard.h"
#include "engine/SettingQueue.h"
#include "engine/Wire.h"
#include "protocol/CommandFramer.h"

namespace engine {

// What the line owner tells the rest of the server.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void OnLink(bool up) = 0;
    // Every checked reply, from polls, link checks and settings alike.
    virtual void OnReply(const proto::Reply& reply) = 0;
    // A guard limit broken on two of the last three polls; true when that latched a new alarm.
    virtual bool OnBreach(const Breach& breach) = 0;
    // While an alarm that holds the output off is latched (a limit's, a lease's, a lost state's),
    // the output is never switched on and is switched off whenever it is found on.
    virtual bool LimitAlarmLatched() = 0;
    virtual void OnSettingDone(const SettingRequest& request, const SettingDone& done) = 0;
};

// The line to a panel that talks to ampd as to the amplifier. Its bytes come in through
// LineOwner::PanelReceive while it is open.
class PanelPort {
public:
    virtual ~PanelPort() = default;
    // Makes the line there for the panel to open; false when it cannot be made.
    virtual bool Open() = 0;
    // The panel's line goes, as a pulled adapter goes.
    virtual void HangUp() = 0;
    // Bytes a panel that does not read are lost, as on a real line.
    virtual void Write(const std::uint8_t* bytes, std::size_t n) = 0;
};

class LineOwner {
public:
    static constexpr Us kPollUs = MsToUs(200);             // the panel's cadence once linked
    static constexpr Us kOutputEveryUs = MsToUs(1000);     // the output is asked at least this often
    static constexpr Us kSilentUs = MsToUs(1000);          // no checked reply for longer: the link is down
    static constexpr Us kProbeTimeoutUs = MsToUs(1000);    // one link check: two probe rounds
    static constexpr Us kConfirmTimeoutUs = MsToUs(1000);  // a setting's read-back waits this long at most
    static constexpr Us kReadBackTimeoutUs = MsToUs(500);  // the settings and output asked after a setting
    // The panel's longest natural gap (its 500 ms poll after a setting) and a margin: while it has
    // sent anything more recently, its polls stand in for ours.
    static constexpr int kPanelQuietMs = 700;
    // The second frame of the panel's pair comes one spacing after the first; this long is waited.
    static constexpr Us kPairWindowUs = MsToUs(250);

    // panel: a line that behaves to a panel as the amplifier does, open while the link is up; none
    // without one.
    LineOwner(LineOut& line, SettingQueue& queue, LineSink& sink, const GuardLimits& limits,
        PanelPort* panel = nullptr);
    ~LineOwner();
    LineOwner(const LineOwner&) = delete;
    LineOwner& operator=(const LineOwner&) = delete;

    // Frames and replies are counted there as they cross the line.
    void CountInto(LineCounters* counters) { m_wire.CountInto(counters); }

    // Bytes from the amplifier.
    void Receive(Us now, const std::uint8_t* bytes, std::size_t n);
    // Bytes from the panel.
    void PanelReceive(Us now, const std::uint8_t* bytes, std::size_t n);
    // The write under way went to the driver.
    void Written(Us now);
    // Does what is due by now.
    void Tick(Us now);
    // When Tick is next due, as long as nothing else comes in.
    Us NextWakeUs() const;

    // The line has failed (the adapter pulled out): what waits fails, the link is down, the
    // panel's line hung up. The owner is done with.
    void LineFailed(Us now);
    // The server stops: what waits fails, nothing more is sent.
    void Stop(Us now);

private:
    enum class Doing { kNothing, kProbe, kPoll, kOutput, kForward, kSetting, kReadBack, kPanelSetting };

    // A setting of the panel: its frame, and whether the pair's second has come.
    struct PanelFrames {
        proto::Frame frame;
        proto::SettingAsked setting;
        Us arrivedUs = 0;
        bool second = false;
    };
    struct PanelQuery {
        proto::Frame frame;
        Us arrivedUs = 0;
    };
    class PanelExchange;
    static SettingDone PanelResult(const Exchange& exchange);

    void OnReply(const proto::Reply& reply, const std::uint8_t* bytes, std::size_t n, Us now);
    void FollowLatch();
    // The panel's side (LinePanel.cpp).
    void OnPanelFrame(const proto::Frame& frame, Us now);
    void RefusePanelOn(const proto::Frame& frame, const proto::SettingAsked& setting, Us now);
    void TellPanelTheOutput();
    void OpenPanel();
    void HangUpPanel();
    std::optional<proto::Frame> NextPanelQuery(Us now);
    void StartApplyPanel(SettingRequest request, Us now);
    // The panel's frames of a setting that leaves the queue unsent.
    void ForgetPanelSetting(const SettingRequest& request);

    // Starts what is to be done next; false when nothing is.
    bool StartNext(Us now);
    void Begin(Doing doing, std::unique_ptr<Exchange> exchange, Us now);
    void SendPending(Us now);
    void Finished(Us now);
    void StartProbe(Us now);
    void StartGuardOff(Us now);
    void StartApply(SettingRequest request, Us now);
    bool OutputQueryFits(Us now) const;
    Us NextFrameUs() const;
    Us NextPollUs() const;
    void LinkDown();
    void ExpireOld(Us now);
    void FailWaiting(Fate fate);
    void FailCurrent(Fate fate);
    void Finish(const SettingRequest& request, const SettingDone& done);
    bool Silent(Us now) const;

    Wire m_wire;
    SettingQueue& m_queue;
    LineSink& m_sink;
    Guard m_guard;
    AmpSettings m_amp;  // as the last link check heard it: a current is clamped to its maximum
    bool m_linked = false;
    bool m_over = false;  // stopped or failed: nothing more is sent
    Us m_lastReplyUs = 0;
    Us m_nextPollUs = 0;
    Us m_outputDueUs = 0;  // when the output is to be asked again

    // Latched means off.
    bool m_latched = false;        // as last seen
    bool m_offWanted = false;      // the output must be switched off
    bool m_offConfirmed = false;   // since the latch, or since the output was last seen on
    bool m_offTriedDown = false;   // while the link is down, OFF and the link check take turns

    Doing m_doing = Doing::kNothing;
    std::unique_ptr<Exchange> m_exchange;
    std::optional<SettingRequest> m_request;  // the one the exchange serves
    bool m_pollFirst = false;                 // a setting just ended: a due poll goes before the next

    PanelPort* m_panel;
    bool m_panelOpen = false;
    proto::CommandFramer m_panelFramer{true};
    Us m_lastPanelUs = 0;
    bool m_panelHeard = false;                // since the panel's line was opened
    std::deque<PanelQuery> m_panelQueries;    // at most one of each kind, to go out as the line allows
    std::deque<PanelFrames> m_panelSettings;  // queued, in the queue's order
    std::optional<PanelFrames> m_panelApplying;
    std::optional<std::uint8_t> m_output;  // the output as last reported
    std::optional<proto::Frame> m_lastRefused;
    Us m_lastRefusedUs = 0;
};

}  // namespace engine
