#include "ampd/PanelLink.h"

#include <cstdio>
#include <variant>

namespace ampd {

namespace {

// The LEN each command of the set comes with; 0 for a code the amplifier does not know.
std::size_t LenOf(std::uint8_t code)
{
    switch (code) {
    case proto::CMD_QUERY_STATUS:
    case proto::CMD_QUERY_SETTINGS:
    case proto::CMD_QUERY_OUTPUT:
        return 2;
    case proto::CMD_SET_MODE:
    case proto::CMD_SET_OUTPUT:
        return 3;
    case proto::CMD_SET_POWER:
    case proto::CMD_SET_CURRENT:
    case proto::CMD_SET_CURRENT_ALT:
        return 4;
    default:
        return 0;
    }
}

}  // namespace

bool PanelFramer::Push(std::uint8_t b)
{
    m_bytes[m_count++] = b;
    for (;;) {
        bool broken = false;
        std::size_t need = 0;
        if (m_count >= 1 && m_bytes[0] != proto::kCommandHeader)
            broken = true;
        else if (m_count >= 2 && m_bytes[1] != proto::kCommandHeader)
            broken = true;
        else if (m_count >= 3 && (m_bytes[2] < 2 || m_bytes[2] > 4))
            broken = true;
        else if (m_count >= 3)
            need = m_bytes[2] + std::size_t{3};
        if (!broken && (need == 0 || m_count < need))
            return false;
        if (!broken) {
            const bool good
                = proto::FrameChecksum(m_bytes, need - 1) == m_bytes[need - 1] && LenOf(m_bytes[3]) == m_bytes[2];
            if (good) {
                m_frame = proto::Frame();
                for (std::size_t i = 0; i < need; ++i)
                    m_frame.bytes[i] = m_bytes[i];
                m_frame.size = static_cast<std::uint8_t>(need);
                m_count = 0;
                return true;
            }
        }
        // Given up: the hunt starts again at the byte after the first.
        if (m_bytes[0] == proto::kCommandHeader)
            ++m_dropped;
        for (std::size_t i = 1; i < m_count; ++i)
            m_bytes[i - 1] = m_bytes[i];
        --m_count;
        if (m_count == 0)
            return false;
    }
}

std::optional<PanelSetting> ReadPanelSetting(const proto::Frame& frame)
{
    if (frame.size < 6)
        return std::nullopt;
    PanelSetting setting;
    const std::uint8_t code = frame.bytes[3];
    const std::int32_t word = frame.bytes[4] * 256 + frame.bytes[5];
    char text[64];
    switch (code) {
    case proto::CMD_SET_CURRENT:
    case proto::CMD_SET_CURRENT_ALT:
        setting.kind = ampctl::SettingKind::kCurrent;
        setting.value = word;
        std::snprintf(text, sizeof text, "SOUR:CURR %d", static_cast<int>(word));
        break;
    case proto::CMD_SET_POWER:
        setting.kind = ampctl::SettingKind::kPower;
        setting.value = word;
        std::snprintf(text, sizeof text, "SOUR:POW %.2f", proto::PowerRawToDbm(word));
        break;
    case proto::CMD_SET_MODE:
        setting.kind = ampctl::SettingKind::kMode;
        setting.value = frame.bytes[4];
        std::snprintf(text, sizeof text, "SOUR:MODE %s", frame.bytes[4] == proto::kModeAcc ? "ACC" : "APC");
        break;
    case proto::CMD_SET_OUTPUT:
        setting.kind = ampctl::SettingKind::kOutput;
        setting.value = frame.bytes[4];
        std::snprintf(text, sizeof text, "OUTP %s", frame.bytes[4] == proto::kOutputOn ? "ON" : "OFF");
        break;
    default:
        return std::nullopt;
    }
    setting.command = text;
    return setting;
}

std::optional<std::int32_t> EchoedValue(ampctl::SettingKind kind, const proto::Reply& reply)
{
    switch (kind) {
    case ampctl::SettingKind::kCurrent:
        if (const auto* r = std::get_if<proto::TargetCurrentReply>(&reply))
            return r->targetCurrentMa;
        break;
    case ampctl::SettingKind::kPower:
        if (const auto* r = std::get_if<proto::TargetPowerReply>(&reply))
            return r->targetPowerRaw;
        break;
    case ampctl::SettingKind::kMode:
        if (const auto* r = std::get_if<proto::ModeReply>(&reply))
            return r->mode;
        break;
    case ampctl::SettingKind::kOutput:
        if (const auto* r = std::get_if<proto::OutputReply>(&reply))
            return r->state;
        break;
    }
    return std::nullopt;
}

}  // namespace ampd
