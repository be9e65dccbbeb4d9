// One program's run with the amplifier, one exchange at a time, each run to its end on a byte
// stream with a clock: the link check before any setting, queries, settings sent twice a frame
// spacing apart and confirmed, and a steady stream of status queries. This is how ampctl drives
// the engine; it blocks while it reads the line, and a stop request ends it at the next read.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "engine/Exchange.h"
#include "engine/Line.h"
#include "engine/Wire.h"

namespace engine {

struct WatchResult {
    Outcome outcome = Outcome::kDone;  // kDone, kInterrupted or kLineFailed
    int answered = 0;
    int missed = 0;
};

// Whether an entry is one the session takes: a power on the raw scale (-70.00 ... +585.35 dBm),
// a current that converts to a 32-bit integer without wrapping.
bool PowerEntryOnScale(const char* entry);
bool CurrentEntryFits(const char* entry);

// An entry as the panel reads a typed one, in wire units: a current clamped to 0 ... maxCurrent
// (requested: before the clamp), a power on the raw scale.
struct SettingValue {
    std::int32_t requested = 0;
    std::int32_t sent = 0;
};
SettingValue CurrentFromEntry(const char* entry, std::int32_t maxCurrentMa);
SettingValue PowerFromEntry(const char* entry);

class Session {
public:
    // The longest single wait, so a stop request is seen promptly whatever the back end.
    static constexpr int kWaitSliceMs = 50;

    // timeoutMs bounds the link check as a whole and each wait for a reply after it.
    Session(ByteStream& line, Clock& clock, const std::atomic<bool>& stop, int timeoutMs);

    Outcome CheckLink();
    bool Linked() const { return m_linked; }
    const AmpSettings& Amp() const { return m_amp; }
    void CountInto(LineCounters* counters) { m_wire.CountInto(counters); }

    // One status query, one frame spacing after the previous frame.
    Outcome ReadStatus(proto::StatusReply& status);

    // Each runs the link check first unless it has passed; then the setting exchange. Only whole
    // replies count. Entries are read as the panel reads typed ones: a current is clamped to
    // 0 ... the maximum current of the settings reply; a power outside the raw scale is refused.
    SettingResult SetCurrent(const char* entry);
    SettingResult SetPower(const char* entry);
    SettingResult SetMode(std::uint8_t mode);
    SettingResult SetOutput(std::uint8_t state);

    // Status queries only, one every intervalMs counted from the start; count 0 runs until a stop
    // request. onReading returning false ends the watch as a stop request does.
    WatchResult Watch(int intervalMs, int count, const std::function<bool(const proto::StatusReply&)>& onReading,
        const std::function<void()>& onMissed);

private:
    class Out : public LineOut {
    public:
        Out(ByteStream& line, Clock& clock) : m_line(line), m_clock(clock) {}
        Us Write(const std::uint8_t* bytes, std::size_t n) override
        {
            return m_line.Write(bytes, n) ? m_clock.NowUs() : kFailed;
        }

    private:
        ByteStream& m_line;
        Clock& m_clock;
    };

    // Runs the exchange to its end: kDone, kInterrupted, kLineFailed.
    Outcome Run(Exchange& exchange);
    SettingResult Apply(proto::SettingKind kind, const std::function<SettingValue(const AmpSettings&)>& value);

    ByteStream& m_line;
    Clock& m_clock;
    const std::atomic<bool>& m_stop;
    const Us m_timeoutUs;
    Out m_out;
    Wire m_wire;
    bool m_linked = false;
    AmpSettings m_amp;
};

}  // namespace engine
