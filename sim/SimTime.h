// Time inside the simulator: nanoseconds since it started. The logic never reads a clock itself;
// the event loop passes the monotonic time in, tests pass virtual time.
#pragma once

#include <cstdint>
#include <limits>

namespace sim {

using SimTime = std::int64_t;

constexpr SimTime kNever = std::numeric_limits<SimTime>::max();
constexpr SimTime kNsPerMs = 1000000;
constexpr SimTime kNsPerS = 1000000000;

constexpr SimTime Ms(std::int64_t ms)
{
    return ms * kNsPerMs;
}

// The line: 9600 baud, 8N1, so a byte is a start bit, 8 data bits and a stop bit.
constexpr int kLineBaud = 9600;
constexpr int kBitsPerByte = 10;

// Start of the k-th byte of an unbroken burst that began at 0. Computed from the burst start
// each time so that rounding never accumulates over a long burst.
constexpr SimTime ByteOffset(std::int64_t k, int baud = kLineBaud)
{
    return k * kBitsPerByte * kNsPerS / baud;
}

}  // namespace sim
