// Faults injected into the replies on purpose, each for the next N replies it touches or until
// cleared.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/CommandFramer.h"
#include "sim/TxPacer.h"

namespace sim {

using proto::Bytes;

enum class FaultKind {
    kNoReply,      // the reply is not sent
    kLate,         // the reply is sent <value> ms later than usual
    kBadChecksum,  // the checksum byte is off by one
    kTruncate,     // only the first half of the frame is sent
    kSplit,        // the frame is sent in two halves with a pause of <value> ms between them
    kGarbage,      // junk bytes go out just before the reply
    kNoSettings,   // settings queries get no reply
    kSelector,     // settings replies report <value> as the current-command selector
    kBadLen,       // LEN is 5 too high (still a length the panel accepts), checksum as before
    kDouble,       // the reply goes out twice, back to back: two frames merged in one burst
    kNoise,        // pseudo-random bytes fill the line whenever it is idle; N counts bytes
};
constexpr std::size_t kFaultKindCount = 11;

// Sent before the reply by the garbage fault. No 0xED among them, so a reader hunting for a
// header is still hunting when the reply starts.
extern const std::vector<std::uint8_t> kGarbageBytes;

const char* FaultName(FaultKind kind);
bool ParseFaultKind(const std::string& name, FaultKind& kind);
// Name of the value a kind takes ("ms", "n"), or nullptr for a kind without one.
const char* FaultValueName(FaultKind kind);

class FaultSet {
public:
    static constexpr int kUntilCleared = -1;

    struct Fault {
        bool active = false;
        int value = 0;
        int remaining = 0;  // replies still to touch, or kUntilCleared
    };

    // Replaces any fault of the same kind. count > 0 or kUntilCleared.
    void Set(FaultKind kind, int value, int count);
    void Clear(FaultKind kind);
    void ClearAll();
    const Fault& Get(FaultKind kind) const { return m_faults[Index(kind)]; }

    // What goes on the line for one reply that is ready at readyAt: nothing, or its chunks in
    // order. Each fault that touches the reply uses up one of its count and adds a note.
    std::vector<TxChunk> Shape(const Bytes& reply, SimTime readyAt, std::vector<std::string>& notes);

    // The active faults as a JSON array.
    std::string Json() const;

    // The next noise byte, if noise is on (using one of its count).
    bool TakeNoise(std::uint8_t& byte);
    bool NoiseOn() const { return Get(FaultKind::kNoise).active; }

private:
    static std::size_t Index(FaultKind kind) { return static_cast<std::size_t>(kind); }
    bool Use(FaultKind kind, const Bytes& reply, std::vector<std::string>& notes);

    std::array<Fault, kFaultKindCount> m_faults{};
    std::uint32_t m_noiseState = 1;  // a fixed sequence: runs repeat byte for byte
};

}  // namespace sim
