#include "sim/Engine.h"

#include "sim/Replies.h"

namespace sim {

Engine::Engine(const AmpSetup& setup, FrameLog& frameLog) : m_log(frameLog), m_model(setup) {}

void Engine::Receive(SimTime t, const std::uint8_t* bytes, std::size_t n)
{
    m_lastRx = t;
    for (std::size_t i = 0; i < n; ++i) {
        if (!m_framer.Push(bytes[i]))
            continue;
        LogJunk(t);
        const proto::Frame& f = m_framer.Frame();
        m_log.Frame(t, "RX", Bytes(f.bytes, f.bytes + f.size));
        ++m_counts.rx;
        Handle(t, f);
    }
    // Junk is reported once what follows it is known, so a run of junk makes one line; bytes
    // that may still begin a frame wait for more, or for the line to go quiet.
    if (m_framer.Idle())
        LogJunk(t);
}

SimTime Engine::RxQuietTime() const
{
    return m_framer.Idle() && !m_framer.HasJunk() ? kNever : m_lastRx + kRxQuiet;
}

void Engine::CheckRxQuiet(SimTime now)
{
    if (now < RxQuietTime())
        return;
    m_framer.GiveUpPending();
    LogJunk(now);
}

void Engine::LogJunk(SimTime t)
{
    if (!m_framer.HasJunk())
        return;
    m_log.Frame(t, "RX-BAD", m_framer.TakeJunk());
    ++m_counts.rxBad;
}

void Engine::Handle(SimTime t, const proto::Frame& command)
{
    m_model.AdvanceTo(t);
    const Answer answer = AnswerCommand(m_model, command);
    if (!answer.ignored.empty())
        m_log.Event(t, "ignored " + answer.ignored);
    std::vector<std::string> notes;
    std::vector<TxChunk> chunks;
    if (!answer.reply.empty())
        chunks = m_faults.Shape(answer.reply, t + Ms(m_model.Setup().latencyMs), notes);
    for (const std::string& note : notes)
        m_log.Event(t, note);
    for (TxChunk& c : chunks)
        m_pacer.Enqueue(std::move(c));
}

void Engine::Announce(SimTime t, const std::vector<std::uint8_t>& reply)
{
    m_pacer.Enqueue({reply, t, 0, reply, true});
}

// Noise fills the line only while no reply waits, so it never splits one.
SimTime Engine::NextTxTime() const
{
    if (m_pacer.Empty() && m_faults.NoiseOn())
        return m_pacer.LineFreeAt();
    return m_pacer.NextDue();
}

bool Engine::TakeTxByte(SimTime now, std::uint8_t& byte)
{
    std::uint8_t noise = 0;
    if (m_pacer.Empty() && now >= m_pacer.LineFreeAt() && m_faults.TakeNoise(noise))
        m_pacer.Enqueue({{noise}, now, 0, {}, false});
    TxPacer::Sent sent;
    if (!m_pacer.Take(now, sent))
        return false;
    if (!sent.logBytes.empty())
        m_log.Frame(now, "TX", sent.logBytes);
    if (sent.isReply)
        ++m_counts.tx;
    byte = sent.value;
    return true;
}

void Engine::DropLine()
{
    m_framer.Reset();
    m_pacer.Clear();
}

}  // namespace sim
