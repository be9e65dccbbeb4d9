// What a program that runs the engine to completion stands on: a byte stream to the amplifier and
// a monotonic clock. Standard C++ only, so the same run goes over a serial port and against a fake
// line in virtual time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace engine {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Discards input not read yet, then writes all n bytes: a reply belongs to the frame just sent.
    // False when the line has failed.
    virtual bool Write(const std::uint8_t* bytes, std::size_t n) = 0;
    // Waits at most timeoutMs for input and reads what has come, up to max bytes. Returns the
    // number read, 0 when nothing came in time (or a stop request cut the wait short), -1 when the
    // line has failed.
    virtual int Read(std::uint8_t* into, std::size_t max, int timeoutMs) = 0;
};

// Microseconds: whole milliseconds would let two frames go a fraction of a millisecond closer
// than the spacing they must keep.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t NowUs() = 0;
};

class SteadyClock : public Clock {
public:
    std::int64_t NowUs() override
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace engine
