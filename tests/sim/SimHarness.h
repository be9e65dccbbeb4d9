// Drives the simulator's engine in virtual time and reads its replies the way the panel does.
#pragma once

#include <vector>

#include "protocol/RxFramer.h"
#include "sim/Engine.h"

namespace simtest {

using sim::Ms;
using sim::SimTime;
using Bytes = std::vector<std::uint8_t>;

struct SentByte {
    SimTime t;
    std::uint8_t value;
};

class Harness {
public:
    explicit Harness(const sim::AmpSetup& setup = {}) : m_engine(setup, m_log) {}

    // Sends f at t and takes every byte at the moment it falls due, up to t + window.
    std::vector<SentByte> Run(SimTime t, const proto::Frame& f, SimTime window = Ms(1000))
    {
        m_engine.Receive(t, f.bytes, f.size);
        std::vector<SentByte> out;
        std::uint8_t b = 0;
        for (SimTime due = m_engine.NextTxTime(); due <= t + window && m_engine.TakeTxByte(due, b);
             due = m_engine.NextTxTime())
            out.push_back({due, b});
        return out;
    }

    sim::FrameLog m_log;
    sim::Engine m_engine;
};

inline Bytes Values(const std::vector<SentByte>& sent)
{
    Bytes out;
    for (const SentByte& s : sent)
        out.push_back(s.value);
    return out;
}

// The frames the panel's own reply framer accepts from these bytes.
inline std::vector<Bytes> Decode(const Bytes& bytes)
{
    proto::RxFramer framer;
    std::vector<Bytes> out;
    for (std::uint8_t b : bytes)
        if (framer.Push(b))
            out.emplace_back(framer.Buffer(), framer.Buffer() + framer.Byte(2) + 3);
    return out;
}

}  // namespace simtest
