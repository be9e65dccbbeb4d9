// The panel's side of ampd: a line that behaves to the panel as the amplifier does. Its frames are
// framed here and only the command set's pass; what a setting frame asks is read for the queue and
// the audit. Platform-free; the pseudo-terminal the panel opens is PanelPty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ampctl/Report.h"
#include "protocol/Frames.h"
#include "protocol/Replies.h"

namespace ampd {

// The bytes to and from the panel.
class PanelPort {
public:
    virtual ~PanelPort() = default;
    // Makes the line there for the panel to open; false when it cannot be made.
    virtual bool Open() = 0;
    // The panel's line goes, as a pulled adapter goes.
    virtual void HangUp() = 0;
    // What the panel has sent, without waiting: the number of bytes, 0 when none.
    virtual int Read(std::uint8_t* into, std::size_t max) = 0;
    // Bytes a panel that does not read are lost, as on a real line.
    virtual void Write(const std::uint8_t* bytes, std::size_t n) = 0;
};

// The panel's command frames (EF EF LEN code data checksum). A broken header, a bad checksum or a
// command the amplifier does not know is dropped; as the amplifier does, the hunt for a header
// goes on from the byte after the one it gave up on, so a frame behind a cut one is still found.
class PanelFramer {
public:
    // True when a frame of the command set ends with this byte (then see Frame()).
    bool Push(std::uint8_t b);
    const proto::Frame& Frame() const { return m_frame; }
    std::uint64_t Dropped() const { return m_dropped; }

private:
    std::uint8_t m_bytes[proto::kMaxCommandFrame] = {};
    std::size_t m_count = 0;
    proto::Frame m_frame;
    std::uint64_t m_dropped = 0;
};

// What a setting frame of the panel asks, as the server queues and audits a setting.
struct PanelSetting {
    ampctl::SettingKind kind = ampctl::SettingKind::kOutput;
    std::int32_t value = 0;  // wire units: mA, raw power, mode or output byte
    std::string command;     // as SCPI would say it, for the audit
};

// Empty for a query.
std::optional<PanelSetting> ReadPanelSetting(const proto::Frame& frame);

// The value an amplifier's reply reports for this kind of setting, when it is its echo.
std::optional<std::int32_t> EchoedValue(ampctl::SettingKind kind, const proto::Reply& reply);

}  // namespace ampd
