// Drives the simulator's engine in virtual time and reads its replies the way the panel does.
#pragma once

#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"
#include "sim/Engine.h"

namespace simtest {

using sim::SimTime;
using Bytes = std::vector<std::uint8_t>;

struct SentByte {
    SimTime t;
    std::uint8_t value;
};

// A reply as the panel's framer accepted it, with the time its first and last bytes went out.
struct Received {
    Bytes frame;
    SimTime first;
    SimTime last;
};

inline Bytes FrameBytes(const proto::Frame& f)
{
    return Bytes(f.bytes, f.bytes + f.size);
}

class Harness {
public:
    explicit Harness(const sim::AmpSetup& setup = {}) : engine(setup, log)
    {
        log.AddSink([this](const std::string& line) { lines.push_back(line); });
    }

    void Send(SimTime t, const proto::Frame& f) { engine.Receive(t, f.bytes, f.size); }
    void Send(SimTime t, const Bytes& b) { engine.Receive(t, b.data(), b.size()); }

    // Takes every byte at the moment it falls due, up to `until`.
    std::vector<SentByte> RunUntil(SimTime until)
    {
        std::vector<SentByte> out;
        for (SimTime due = engine.NextTxTime(); due <= until; due = engine.NextTxTime()) {
            std::uint8_t b = 0;
            if (!engine.TakeTxByte(due, b))
                break;
            out.push_back({due, b});
        }
        return out;
    }

    // Feeds bytes to the panel's own reply framer; returns the frames it accepted.
    std::vector<Received> Decode(const std::vector<SentByte>& bytes)
    {
        std::vector<Received> out;
        SimTime start = 0;
        for (const SentByte& s : bytes) {
            if (framer.Index() == 0)
                start = s.t;
            if (framer.Push(s.value)) {
                const int size = framer.Byte(2) + 3;
                out.push_back({Bytes(framer.Buffer(), framer.Buffer() + size), start, s.t});
            }
        }
        return out;
    }

    // Sends one command at t and returns the replies accepted within the next `window`.
    std::vector<Received> Exchange(SimTime t, const proto::Frame& f, SimTime window = sim::Ms(1000))
    {
        Send(t, f);
        return Decode(RunUntil(t + window));
    }

    // Log lines with the given tag ("RX", "TX", "EVENT", ...), without time and tag.
    std::vector<std::string> Logged(const std::string& tag) const
    {
        std::vector<std::string> out;
        for (const std::string& line : lines) {
            const std::size_t sp = line.find(' ');
            const std::string rest = line.substr(sp + 1);
            if (rest.rfind(tag + " ", 0) == 0)
                out.push_back(rest.substr(tag.size() + 1, rest.size() - tag.size() - 2));
        }
        return out;
    }

    sim::FrameLog log;
    std::vector<std::string> lines;
    sim::Engine engine;
    proto::RxFramer framer;
};

inline sim::AmpSetup RunningSetup()
{
    sim::AmpSetup s;
    s.output = sim::OUTPUT_ON;
    return s;
}

}  // namespace simtest
