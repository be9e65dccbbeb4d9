// The tests' amplifier on a fake line in virtual time, for the engine's tests, ampctl's and
// ampd's: each reply starts latencyMs after the frame it answers, one byte a millisecond; the
// frames written are logged with their virtual times; faults are switched on by fields. Test
// events can be set at virtual times: the line runs them when its clock gets there, as if they
// came from elsewhere.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/Line.h"
#include "protocol/Frames.h"
#include "protocol/Replies.h"
#include "tests/FakeAmplifier.h"

namespace fakeline {

using engine::ByteStream;
using engine::Clock;

inline const std::string kSettingsQuery = "EF EF 02 02 E2";
inline const std::string kOutputQuery = "EF EF 02 25 05";
inline const std::string kStatusQuery = "EF EF 02 00 E0";

inline std::string Hex(const std::uint8_t* bytes, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

inline std::string Hex(const proto::Frame& f)
{
    return Hex(f.bytes, f.size);
}

inline std::string At(std::int64_t t, const std::string& frame)
{
    return std::to_string(t) + ": " + frame;
}

constexpr std::int64_t kUs = 1000;  // microseconds a millisecond

class VirtualClock : public Clock {
public:
    std::int64_t NowUs() override { return now; }
    std::int64_t now = 0;  // microseconds
};

// An amplifier on the other end of a line whose bytes arrive at virtual times: each reply starts
// latencyMs after the frame it answers, one byte a millisecond. A write discards what has arrived
// unread, as the serial back ends do.
class FakeAmp : public ByteStream, public fakeamp::FakeAmplifier {
public:
    explicit FakeAmp(VirtualClock& clock) : m_clock(clock) {}

    int queriesAfterSetting = 1000;  // queries still answered once a setting has come
    int missStatus = -1;             // the status query of this number (from 0) goes unanswered
    int latencyMs = 20;
    bool twice = false;  // every reply comes twice
    // Short replies have this many data bytes cut from their end (their LEN and checksum agree).
    std::size_t cutEchoes = 0;
    int echoDelayMs = 0;  // echoes come this much later than other replies
    // The answers to queries from this one on (counting from 0) are cut and delayed so.
    int troubleFromQuery = 0;
    std::size_t cutAnswers = 0;
    int answerDelayMs = 0;
    bool failed = false;           // the line is gone (the adapter pulled out): reads and writes fail
    std::vector<std::string> log;  // "t: frame"
    std::function<void(const std::string&)> onWrite;

    // Runs event when the line's clock reaches atMs (virtual milliseconds).
    void Schedule(std::int64_t atMs, std::function<void()> event) { m_events.emplace(atMs * kUs, std::move(event)); }

    bool Write(const std::uint8_t* bytes, std::size_t n) override
    {
        if (failed)
            return false;
        while (!m_pending.empty() && m_pending.front().t <= m_clock.now)
            m_pending.pop_front();
        const std::string hex = Hex(bytes, n);
        log.push_back(At(m_clock.now / kUs, hex));
        if (onWrite)
            onWrite(hex);
        Answer(bytes, n);
        return true;
    }

    int Read(std::uint8_t* into, std::size_t max, int timeoutMs) override
    {
        if (failed)
            return -1;
        if (m_pending.empty() || m_pending.front().t > m_clock.now) {
            std::int64_t wake = m_clock.now + timeoutMs * kUs;
            // An event due first ends the wait with nothing read, once it has run.
            if (!m_events.empty() && m_events.begin()->first <= wake
                && (m_pending.empty() || m_events.begin()->first < m_pending.front().t)) {
                m_clock.now = std::max(m_clock.now, m_events.begin()->first);
                const std::function<void()> event = std::move(m_events.begin()->second);
                m_events.erase(m_events.begin());
                event();
                return failed ? -1 : 0;
            }
            if (m_pending.empty() || m_pending.front().t > wake) {
                m_clock.now = wake;
                return 0;
            }
            m_clock.now = m_pending.front().t;
        }
        std::size_t n = 0;
        for (; n < max && !m_pending.empty() && m_pending.front().t <= m_clock.now; ++n) {
            into[n] = m_pending.front().value;
            m_pending.pop_front();
        }
        return static_cast<int>(n);
    }

private:
    struct Arriving {
        std::int64_t t;  // microseconds
        std::uint8_t value;
    };

    // A delayed reply's bytes are put in their place among those already on their way.
    void Reply(const proto::ReplyBytes& whole, int delayMs, std::size_t cut)
    {
        proto::ReplyBytes frame = whole;
        if (cut > 0) {
            const proto::ReplyBytes data(whole.begin() + 4, whole.end() - 1);
            frame = proto::MakeReplyFrame(whole[3], {data.begin(), data.end() - std::min(cut, data.size())});
        }
        std::int64_t t = m_clock.now + (latencyMs + delayMs) * kUs;
        for (int copy = 0; copy < (twice ? 2 : 1); ++copy) {
            for (std::uint8_t b : frame) {
                const auto at = std::upper_bound(m_pending.begin(), m_pending.end(), t,
                    [](std::int64_t when, const Arriving& a) { return when < a.t; });
                m_pending.insert(at, {t, b});
                t += kUs;
            }
        }
    }

    bool AnswersQuery() { return !m_settingSeen || queriesAfterSetting-- > 0; }

    void AnswerQuery(const proto::ReplyBytes& reply)
    {
        const bool trouble = m_queries - 1 >= troubleFromQuery;
        Reply(reply, trouble ? answerDelayMs : 0, trouble ? cutAnswers : 0);
    }

    // Queries are answered unless a switch keeps them silent; a setting is taken (or not) and
    // echoed (or not) by the amplifier's own reply code.
    void Answer(const std::uint8_t* f, std::size_t n)
    {
        if (n == 5)
            ++m_queries;
        const proto::CommandInfo* command = proto::FindCommand(f[3]);
        if (!command)
            return;
        if (command->code == proto::CMD_QUERY_STATUS && !(answerStatus && m_statusQueries++ != missStatus))
            return;
        if (!command->setting && command->code != proto::CMD_QUERY_STATUS && !(Answers(command->code) && AnswersQuery()))
            return;
        m_settingSeen = m_settingSeen || command->setting;
        const std::optional<proto::ReplyBytes> reply = FakeAmplifier::Reply(f, n);
        if (!reply)
            return;
        if (command->setting)
            Reply(*reply, echoDelayMs, cutEchoes);
        else
            AnswerQuery(*reply);
    }

    VirtualClock& m_clock;
    std::deque<Arriving> m_pending;
    std::multimap<std::int64_t, std::function<void()>> m_events;
    bool m_settingSeen = false;
    int m_queries = 0;
    int m_statusQueries = 0;
};

}  // namespace fakeline
