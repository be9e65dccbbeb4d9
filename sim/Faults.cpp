#include "sim/Faults.h"

#include <cstdio>

#include "protocol/Frames.h"

namespace sim {

const std::vector<std::uint8_t> kGarbageBytes = {0x55, 0xAA, 0x00, 0xFF, 0x13};

namespace {

struct KindInfo {
    FaultKind kind;
    const char* name;
    const char* valueName;
};

constexpr KindInfo kKinds[kFaultKindCount] = {
    {FaultKind::kNoReply, "no-reply", nullptr},
    {FaultKind::kLate, "late", "ms"},
    {FaultKind::kBadChecksum, "bad-checksum", nullptr},
    {FaultKind::kTruncate, "truncate", nullptr},
    {FaultKind::kSplit, "split", "ms"},
    {FaultKind::kGarbage, "garbage", nullptr},
    {FaultKind::kNoSettings, "no-settings", nullptr},
    {FaultKind::kSelector, "selector", "n"},
    {FaultKind::kBadLen, "bad-len", nullptr},
    {FaultKind::kDouble, "double", nullptr},
    {FaultKind::kNoise, "noise", nullptr},
};

// A LEN raised this much still lies in the range the panel accepts, so the panel reads past the
// frame's end into whatever follows.
constexpr std::uint8_t kBadLenExcess = 5;

// Where the settings reply carries the current-command selector.
constexpr std::size_t kSelectorPos = 17;

std::string ReplyName(const Bytes& reply)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", reply.size() > 3 ? reply[3] : 0);
    return text;
}

}  // namespace

const char* FaultName(FaultKind kind)
{
    return kKinds[static_cast<std::size_t>(kind)].name;
}

const char* FaultValueName(FaultKind kind)
{
    return kKinds[static_cast<std::size_t>(kind)].valueName;
}

bool ParseFaultKind(const std::string& name, FaultKind& kind)
{
    for (const KindInfo& k : kKinds) {
        if (name == k.name) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

void FaultSet::Set(FaultKind kind, int value, int count)
{
    m_faults[Index(kind)] = {true, value, count};
}

void FaultSet::Clear(FaultKind kind)
{
    m_faults[Index(kind)] = {};
}

void FaultSet::ClearAll()
{
    m_faults = {};
}

bool FaultSet::Use(FaultKind kind, const Bytes& reply, std::vector<std::string>& notes)
{
    Fault& f = m_faults[Index(kind)];
    if (!f.active)
        return false;
    std::string note = std::string("fault ") + FaultName(kind);
    if (FaultValueName(kind) != nullptr)
        note += " " + std::to_string(f.value);
    notes.push_back(note + " on reply " + ReplyName(reply));
    if (f.remaining != kUntilCleared && --f.remaining == 0)
        f = {};
    return true;
}

std::vector<TxChunk> FaultSet::Shape(const Bytes& reply, SimTime readyAt, std::vector<std::string>& notes)
{
    const bool isSettings = reply.size() > 3 && reply[3] == proto::REPLY_SETTINGS;
    if (isSettings && Use(FaultKind::kNoSettings, reply, notes))
        return {};
    if (Use(FaultKind::kNoReply, reply, notes))
        return {};

    Bytes frame = reply;
    const int selector = Get(FaultKind::kSelector).value;
    if (isSettings && frame.size() > kSelectorPos + 1 && Use(FaultKind::kSelector, reply, notes)) {
        frame[kSelectorPos] = static_cast<std::uint8_t>(selector);
        frame.back() = proto::FrameChecksum(frame.data(), frame.size() - 1);
    }
    if (Use(FaultKind::kBadChecksum, reply, notes))
        ++frame.back();
    if (Use(FaultKind::kTruncate, reply, notes))
        frame.resize(frame.size() / 2);
    if (frame.size() > 2 && Use(FaultKind::kBadLen, reply, notes))
        frame[2] = static_cast<std::uint8_t>(frame[2] + kBadLenExcess);
    if (Use(FaultKind::kDouble, reply, notes)) {
        const Bytes once = frame;
        frame.insert(frame.end(), once.begin(), once.end());
    }
    const int lateMs = Get(FaultKind::kLate).value;
    if (Use(FaultKind::kLate, reply, notes))
        readyAt += Ms(lateMs);

    std::vector<TxChunk> chunks;
    if (Use(FaultKind::kGarbage, reply, notes)) {
        chunks.push_back({kGarbageBytes, readyAt, 0, kGarbageBytes, false});
        readyAt = 0;  // the reply follows the junk at once
    }
    const int pauseMs = Get(FaultKind::kSplit).value;
    if (Use(FaultKind::kSplit, reply, notes)) {
        const auto half = static_cast<std::ptrdiff_t>(frame.size() / 2);
        chunks.push_back({Bytes(frame.begin(), frame.begin() + half), readyAt, 0, frame, true});
        chunks.push_back({Bytes(frame.begin() + half, frame.end()), 0, Ms(pauseMs), {}, false});
    } else {
        chunks.push_back({frame, readyAt, 0, frame, true});
    }
    return chunks;
}

bool FaultSet::TakeNoise(std::uint8_t& byte)
{
    Fault& f = m_faults[Index(FaultKind::kNoise)];
    if (!f.active)
        return false;
    if (f.remaining != kUntilCleared && --f.remaining == 0)
        f = {};
    // Every byte value turns up, headers included: what a disturbed line really carries.
    m_noiseState = m_noiseState * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(m_noiseState >> 16);
    return true;
}

std::string FaultSet::Json() const
{
    std::string out = "[";
    for (const KindInfo& k : kKinds) {
        const Fault& f = Get(k.kind);
        if (!f.active)
            continue;
        if (out.size() > 1)
            out += ",";
        out += std::string("{\"kind\":\"") + k.name + "\"";
        if (k.valueName != nullptr)
            out += ",\"value\":" + std::to_string(f.value);
        out += ",\"remaining\":";
        out += f.remaining == kUntilCleared ? std::string("\"on\"") : std::to_string(f.remaining);
        out += "}";
    }
    return out + "]";
}

}  // namespace sim
