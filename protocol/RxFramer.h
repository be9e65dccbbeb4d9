// Byte-by-byte recogniser of the amplifier's reply frames (ED FA LEN type data... checksum).
#pragma once

#include <cstdint>

namespace proto {

class RxFramer {
public:
    // The record's full size; only positions 0 to 99 are ever written (LEN is at most 97 and the
    // index 8-bit), and no reply is read beyond position 17.
    static constexpr int kBufferSize = 2048;
    // Accepted LEN values; outside them the frame is abandoned at the LEN byte.
    static constexpr int kMinLen = 2;
    static constexpr int kMaxLen = 97;

    // Takes one received byte. Returns true when it completed a frame whose checksum holds;
    // the frame is then in Buffer() from position 0 and its type is Type().
    bool Push(std::uint8_t b);

    std::uint8_t Type() const { return rxBuf[3]; }
    std::uint8_t Byte(int pos) const { return rxBuf[pos]; }
    // Big-endian 16-bit value at pos, pos + 1.
    std::int32_t Word(int pos) const { return rxBuf[pos] * 256 + rxBuf[pos + 1]; }

    std::uint8_t Index() const { return rxIndex; }
    const std::uint8_t* Buffer() const { return rxBuf; }

private:
    // Never cleared: a short frame reads what earlier frames left beyond its end.
    std::uint8_t rxBuf[kBufferSize] = {};
    std::uint8_t rxSum = 0;
    std::uint8_t rxEnd = 0;    // position of the checksum byte, LEN + 2 (mod 256)
    std::uint8_t rxIndex = 0;  // where the next byte goes; 0 while hunting for a header
};

}  // namespace proto
