// One run's conversation with the amplifier, as the panel holds it: the link check before
// anything else, one-shot queries, settings sent twice a frame spacing apart and confirmed, and a
// steady stream of status queries. Platform-free: it talks through a ByteStream and a Clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "ampctl/Line.h"
#include "protocol/Frames.h"
#include "protocol/Replies.h"
#include "protocol/RxFramer.h"

namespace ampctl {

enum class Outcome {
    kDone,
    kNoAnswer,      // the amplifier did not answer in time
    kNotConfirmed,  // a setting went out and the amplifier did not report it back as sent
    kRefused,       // a value the protocol cannot carry; nothing was sent
    kInterrupted,   // a stop request ended it; nothing more was sent
    kLineFailed,    // the port stopped working (through ampd: the connection ended)
    // Through ampd only:
    kLinkDown,       // its link to the amplifier is down
    kNotAuthorised,  // control refused for want of the right token
    kAlarmLatched,   // the output stays off while a limit alarm is latched
    kUnreachable,    // ampd turned the connection away
    kServerFault,    // ampd did not answer in time, or answered what cannot be read
};

// What crossed the line, counted as it goes: for a server's metrics, read from any thread.
struct LineCounters {
    std::atomic<std::uint64_t> framesSent{0};
    std::atomic<std::uint64_t> repliesReceived{0};  // whole, checked replies
    std::atomic<std::uint64_t> checksumErrors{0};
};

// What the link check learnt.
struct AmpSettings {
    proto::SettingsReply settings;
    std::uint8_t output = 0;
};

enum class Confirmation {
    kNone,
    kEcho,
    kReadBack,
    kServer,  // ampd confirmed it, as it confirms a setting: echo or read back
};

struct SettingResult {
    Outcome outcome = Outcome::kNoAnswer;
    // In wire units: mA, raw power, mode or output byte.
    std::int32_t requested = 0;
    std::int32_t sent = 0;  // requested, or a current clamped to the amplifier's range
    Confirmation confirmedBy = Confirmation::kNone;
    std::optional<std::int32_t> held;  // what the amplifier reported instead, when it did

    bool Clamped() const { return sent != requested; }
};

struct WatchResult {
    Outcome outcome = Outcome::kDone;  // kDone, kInterrupted or kLineFailed
    int answered = 0;
    int missed = 0;
};

struct SettingPlan;

// Whether an entry is one the session takes: a power on the raw scale (-70.00 ... +585.35 dBm),
// a current that converts to a 32-bit integer without wrapping.
bool PowerEntryOnScale(const char* entry);
bool CurrentEntryFits(const char* entry);

class Session {
public:
    // Probing repeats the pair of queries this often, as the panel's probe timer does.
    static constexpr int kProbePeriodMs = 500;
    // The longest single wait, so a stop request is seen promptly whatever the back end.
    static constexpr int kWaitSliceMs = 50;

    // timeoutMs bounds the link check as a whole and each wait for a reply after it.
    Session(ByteStream& line, Clock& clock, const std::atomic<bool>& stop, int timeoutMs);

    // Settings query, then the output query one frame spacing later, repeated every probe period
    // until both are answered or the timeout passes.
    Outcome CheckLink();
    bool Linked() const { return m_linked; }
    // When the last frame was written (the clock's microseconds); 0 before the first.
    std::int64_t LastWriteUs() const { return m_lastWriteUs; }
    const AmpSettings& Amp() const { return m_amp; }

    // One status query, one frame spacing after the previous frame.
    Outcome ReadStatus(proto::StatusReply& status);

    // Each runs the link check first unless it has passed, sends its frame twice one frame spacing
    // apart, and is confirmed by the amplifier's echo of the value sent or, without one, by reading
    // it back. Only whole replies count (a short one carries fields an earlier frame left behind).
    // Entries are read as the panel reads typed ones: a current is clamped to 0 ... the maximum
    // current of the settings reply; a power (dBm) outside the raw scale is refused, not wrapped.
    SettingResult SetCurrent(const char* entry);
    SettingResult SetPower(const char* entry);
    SettingResult SetMode(std::uint8_t mode);
    SettingResult SetOutput(std::uint8_t state);

    // For a program that holds the line for long (the server): every checked reply, whatever was
    // awaited, goes to the observer first; waits can be given another timeout; and the line can be
    // listened to while nothing is asked, until a time or until woken.
    void ObserveReplies(std::function<void(const proto::Reply&)> observer) { m_observer = std::move(observer); }
    // Every whole, checked reply as it came, byte for byte, before the reply observer sees it.
    void ObserveFrames(std::function<void(const std::uint8_t*, std::size_t)> observer)
    {
        m_frameObserver = std::move(observer);
    }
    // Writes a frame another program made, as it is, one frame spacing after the previous frame:
    // kDone once written, kInterrupted, kLineFailed.
    Outcome Forward(const proto::Frame& frame);
    void SetTimeoutMs(int timeoutMs);
    void CountInto(LineCounters* counters) { m_counters = counters; }
    // kDone when the time came or wake was set (it is cleared), kInterrupted, kLineFailed.
    Outcome Listen(std::int64_t untilUs, std::atomic<bool>& wake);

    // Status queries only, one every intervalMs counted from the start; count 0 runs until a stop
    // request. onReading returning false ends the watch as a stop request does.
    WatchResult Watch(int intervalMs, int count, const std::function<bool(const proto::StatusReply&)>& onReading,
        const std::function<void()>& onMissed);

private:
    enum class Wait { kSatisfied, kTimedOut, kStopped, kFailed, kWoken };
    using ReplyHandler = std::function<bool(const proto::Reply&)>;  // true: what was awaited came

    // What a setting's value becomes once the amplifier's settings are known.
    using Limit = std::function<std::int32_t(const AmpSettings&)>;
    SettingResult Apply(const SettingPlan& plan, std::int32_t requested, const Limit& limit);

    // Reads and frames replies until the handler is satisfied or untilUs comes (or wake is set).
    Wait Pump(std::int64_t untilUs, const ReplyHandler& handler, std::atomic<bool>* wake = nullptr);
    // Writes a frame no sooner than one frame spacing after the previous one. A setting goes only
    // after a passed link check unless forwarded (another program's, which decided on it).
    Wait Send(const proto::Frame& frame, bool forwarded = false);
    // Sends a query and waits up to the timeout for the reply the handler awaits.
    Wait Ask(std::uint8_t query, const ReplyHandler& handler);

    ByteStream& m_line;
    Clock& m_clock;
    const std::atomic<bool>& m_stop;
    std::int64_t m_timeoutUs;
    std::function<void(const proto::Reply&)> m_observer;
    std::function<void(const std::uint8_t*, std::size_t)> m_frameObserver;
    LineCounters* m_counters = nullptr;
    proto::RxFramer m_framer;
    std::int64_t m_lastWriteUs = 0;
    bool m_written = false;
    bool m_linked = false;
    AmpSettings m_amp;
};

}  // namespace ampctl
