#include "sim/Engine.h"

#include "sim/Replies.h"

namespace sim {

Engine::Engine(const AmpSetup& setup, FrameLog& frameLog) : log(frameLog), model(setup) {}

void Engine::Receive(SimTime t, const std::uint8_t* bytes, std::size_t n)
{
    lastRx = t;
    for (std::size_t i = 0; i < n; ++i) {
        if (!framer.Push(bytes[i]))
            continue;
        LogJunk(t);
        const proto::Frame& f = framer.Frame();
        log.Frame(t, "RX", Bytes(f.bytes, f.bytes + f.size));
        ++counts.rx;
        Handle(t, f);
    }
    // Junk is reported once what follows it is known, so a run of junk makes one line; bytes
    // that may still begin a frame wait for more, or for the line to go quiet.
    if (framer.Idle())
        LogJunk(t);
}

SimTime Engine::RxQuietTime() const
{
    return framer.Idle() && !framer.HasJunk() ? NEVER : lastRx + RX_QUIET;
}

void Engine::CheckRxQuiet(SimTime now)
{
    if (now < RxQuietTime())
        return;
    framer.GiveUpPending();
    LogJunk(now);
}

void Engine::LogJunk(SimTime t)
{
    if (!framer.HasJunk())
        return;
    log.Frame(t, "RX-BAD", framer.TakeJunk());
    ++counts.rxBad;
}

void Engine::Handle(SimTime t, const proto::Frame& command)
{
    model.AdvanceTo(t);
    const Answer answer = AnswerCommand(model, command);
    if (!answer.ignored.empty())
        log.Event(t, "ignored " + answer.ignored);
    std::vector<std::string> notes;
    std::vector<TxChunk> chunks;
    if (!answer.reply.empty())
        chunks = faults.Shape(answer.reply, t + Ms(model.Setup().latencyMs), notes);
    for (const std::string& note : notes)
        log.Event(t, note);
    for (TxChunk& c : chunks)
        pacer.Enqueue(std::move(c));
}

// Noise fills the line only while no reply waits, so it never splits one.
SimTime Engine::NextTxTime() const
{
    if (pacer.Empty() && faults.NoiseOn())
        return pacer.LineFreeAt();
    return pacer.NextDue();
}

bool Engine::TakeTxByte(SimTime now, std::uint8_t& byte)
{
    std::uint8_t noise = 0;
    if (pacer.Empty() && now >= pacer.LineFreeAt() && faults.TakeNoise(noise))
        pacer.Enqueue({{noise}, now, 0, {}, false});
    TxPacer::Sent sent;
    if (!pacer.Take(now, sent))
        return false;
    if (!sent.logBytes.empty())
        log.Frame(now, "TX", sent.logBytes);
    if (sent.isReply)
        ++counts.tx;
    byte = sent.value;
    return true;
}

void Engine::DropLine()
{
    framer.Reset();
    pacer.Clear();
}

}  // namespace sim
