// The line owner on a virtual clock for the engine's tests: a fake amplifier on a fake line, the
// owner driven as ampd drives it, the server's record beside it, clients' commands through
// ampd's SCPI client, and a fake panel on the panel link. Asserted on the frames written and
// their virtual times.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ampd/ScpiClient.h"
#include "engine/LineOwner.h"
#include "tests/engine/FakeAmp.h"

namespace ownertest {

using namespace ampd;
using namespace fakeline;
using engine::Breach;
using engine::GuardLimits;
using engine::LineOwner;
using engine::LineSink;
using engine::PanelPort;

inline const std::string kOutputOff = "EF EF 03 26 00 07";
inline const std::string kOutputOn = "EF EF 03 26 01 08";

inline std::int64_t TimeOf(const std::string& logLine)
{
    return std::stoll(logLine.substr(0, logLine.find(':')));
}

inline std::string FrameOf(const std::string& logLine)
{
    return logLine.substr(logLine.find(": ") + 2);
}

inline bool IsQuery(const std::string& logLine)
{
    return FrameOf(logLine).rfind("EF EF 02 ", 0) == 0;
}

// The engine's frames onto the fake line, written at once.
class FakeLineOut : public engine::LineOut {
public:
    FakeLineOut(FakeAmp& amp, VirtualClock& clock) : m_amp(amp), m_clock(clock) {}
    engine::Us Write(const std::uint8_t* bytes, std::size_t n) override
    {
        return m_amp.Write(bytes, n) ? m_clock.now : kFailed;
    }

private:
    FakeAmp& m_amp;
    VirtualClock& m_clock;
};

// The owner on the fake line as ampd's driver runs it: bytes as they come, Tick at its next time,
// until a stop request or the line fails.
inline engine::Outcome RunOwner(FakeAmp& amp, VirtualClock& clock, LineOwner& owner, const std::atomic<bool>& stop)
{
    std::uint8_t bytes[64];
    owner.Tick(clock.now);
    for (;;) {
        if (stop) {
            owner.Stop(clock.now);
            return engine::Outcome::kInterrupted;
        }
        const engine::Us leftUs = std::max<engine::Us>(owner.NextWakeUs() - clock.now, 0);
        const int waitMs = static_cast<int>(std::min<engine::Us>((leftUs + kUs - 1) / kUs, 50));
        const int n = amp.Read(bytes, sizeof bytes, waitMs);
        if (n < 0) {
            owner.LineFailed(clock.now);
            return engine::Outcome::kLineFailed;
        }
        if (n > 0)
            owner.Receive(clock.now, bytes, static_cast<std::size_t>(n));
        owner.Tick(clock.now);
    }
}

// The server around the line, as Main wires it, on one thread: what the line learns goes to the
// shared record, and the guard's alarms latch there.
// The record's steady clock, on the line's virtual one.
inline Amplifier::SteadyClock VirtualSteady(VirtualClock& clock)
{
    return [&clock] { return std::chrono::steady_clock::time_point(std::chrono::microseconds(clock.now)); };
}

class Sink : public LineSink {
public:
    explicit Sink(Amplifier& amp) : m_amp(amp) {}
    void OnLink(bool up) override
    {
        m_amp.SetLink(up);
        links.push_back(up);
    }
    void OnReply(const proto::Reply& reply) override { m_amp.Apply(reply); }
    bool OnBreach(const Breach& breach) override { return m_amp.Latch(Alarm{breach.name, breach.value, {}}); }
    bool LimitAlarmLatched() override { return m_amp.View().LimitAlarmLatched(); }
    void OnSettingDone(const SettingRequest& request, const SettingDone& done) override
    {
        done_.push_back(
            (request.byGuard ? "guard " : "") + request.command + ": " + std::to_string(static_cast<int>(done.fate)));
    }
    std::vector<bool> links;
    std::vector<std::string> done_;

private:
    Amplifier& m_amp;
};

// One client of the server: its answers and its audit, its posted work run at once (one thread).
class Client : public ClientHost {
public:
    Client(std::uint64_t id, Amplifier& amp, SettingQueue& queue, FakeAmp& line, const Access& access,
        AuthThrottle& throttle)
        : m_line(line), scpi(
                            id, "client" + std::to_string(id), amp, queue, access, throttle, *this,
                            [](std::function<void()> work) { work(); }, "1.0.0")
    {
    }
    void Send(const std::string& line) override { answers.push_back(line); }
    void After(int delayMs, std::function<void()> work) override { m_line.Schedule(m_nowMs + delayMs, work); }
    void Audit(const std::string& command, const std::string& outcome) override
    {
        audit.push_back(command + " " + outcome);
    }
    void Line(std::int64_t nowMs, const std::string& line)
    {
        m_nowMs = nowMs;
        scpi.Line(line);
    }

    std::vector<std::string> answers;
    std::vector<std::string> audit;

private:
    FakeAmp& m_line;
    std::int64_t m_nowMs = 0;

public:
    ScpiClient scpi;
};

class LineOwnerTest : public ::testing::Test {
public:
    // Runs the line until endMs of virtual time.
    engine::Outcome RunUntil(std::int64_t endMs, const GuardLimits& limits = GuardLimits())
    {
        amp.Schedule(endMs, [this] { stop = true; });
        FakeLineOut out(amp, clock);
        LineOwner owner(out, queue, sink, limits);
        return RunOwner(amp, clock, owner, stop);
    }

    Client& NewClient()
    {
        clients.push_back(std::make_unique<Client>(clients.size() + 1, shared, queue, amp, access, throttle));
        return *clients.back();
    }

    // At atMs, the client sends the line.
    void Say(Client& client, std::int64_t atMs, const std::string& line)
    {
        amp.Schedule(atMs, [&client, atMs, line] { client.Line(atMs, line); });
    }

    std::vector<std::string> Sent(std::int64_t fromMs) const
    {
        std::vector<std::string> out;
        for (const std::string& line : amp.log)
            if (TimeOf(line) >= fromMs)
                out.push_back(line);
        return out;
    }

    VirtualClock clock;
    FakeAmp amp{clock};
    std::atomic<bool> stop{false};
    SettingQueue queue{[this] { return clock.now; }};
    Amplifier shared{[] { return WallTime(); }, VirtualSteady(clock)};
    Sink sink{shared};
    Access access;
    AuthThrottle throttle;
    std::vector<std::unique_ptr<Client>> clients;
};

class FakePanel : public PanelPort {
public:
    explicit FakePanel(VirtualClock& clock) : m_clock(clock) {}
    void Attach(LineOwner* owner) { m_owner = owner; }
    bool Open() override
    {
        ++opened;
        open = true;
        return true;
    }
    void HangUp() override
    {
        ++hungUp;
        open = false;
    }
    void Write(const std::uint8_t* bytes, std::size_t n) override
    {
        received.push_back(At(m_clock.now / kUs, Hex(bytes, n)));
    }
    void Send(const std::vector<std::uint8_t>& bytes)
    {
        if (open && m_owner)
            m_owner->PanelReceive(m_clock.now, bytes.data(), bytes.size());
    }

    int opened = 0;
    int hungUp = 0;
    bool open = false;
    std::vector<std::string> received;  // "t: reply"

private:
    VirtualClock& m_clock;
    LineOwner* m_owner = nullptr;
};

inline std::vector<std::uint8_t> Bytes(const proto::Frame& frame)
{
    return std::vector<std::uint8_t>(frame.bytes, frame.bytes + frame.size);
}

inline std::string HexReply(const proto::ReplyBytes& reply)
{
    return Hex(reply.data(), reply.size());
}

class PanelLinkTest : public LineOwnerTest {
public:
    engine::Outcome RunWithPanel(std::int64_t endMs, const GuardLimits& limits = GuardLimits())
    {
        amp.Schedule(endMs, [this] { stop = true; });
        FakeLineOut out(amp, clock);
        LineOwner owner(out, queue, sink, limits, &panel);
        panel.Attach(&owner);
        const engine::Outcome outcome = RunOwner(amp, clock, owner, stop);
        panel.Attach(nullptr);
        return outcome;
    }

    // At atMs, the panel sends these bytes.
    void PanelSends(std::int64_t atMs, const std::vector<std::uint8_t>& bytes)
    {
        amp.Schedule(atMs, [this, bytes] { panel.Send(bytes); });
    }

    // The panel's poll, every 200 ms from fromMs to before toMs.
    void PanelPolls(std::int64_t fromMs, std::int64_t toMs)
    {
        for (std::int64_t t = fromMs; t < toMs; t += 200)
            PanelSends(t, Bytes(proto::MakeQueryFrame(proto::CMD_QUERY_STATUS)));
    }

    // A setting as the panel sends it: twice, one spacing apart.
    void PanelSetting(std::int64_t atMs, const proto::Frame& frame)
    {
        PanelSends(atMs, Bytes(frame));
        PanelSends(atMs + proto::kFrameSpacingMs, Bytes(frame));
    }

    FakePanel panel{clock};
};

}  // namespace ownertest
