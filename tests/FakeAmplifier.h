// The amplifier the native tests talk to, whatever they test (the engine, ampctl, ampd, the panel):
// it answers through the protocol's own reply code, the simulator's, from plain fields the tests
// set and read. Switches make it fall silent on a kind of query, keep settings unechoed or
// unapplied, or echo the value held before. How the bytes travel (latency, pace, faults) is the
// line's that carries them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/AmplifierSide.h"
#include "protocol/Commands.h"

namespace fakeamp {

class FakeAmplifier : public proto::AmplifierSide {
public:
    proto::SettingsReply settings{10700, 1500, 6000, proto::kModeAcc, 1};
    std::uint8_t output = proto::kOutputOff;
    // The status reply's readings; the pump current follows the target unless set.
    std::optional<std::uint16_t> pumpMa;
    std::uint16_t inputRaw = 7000, outputRaw = 10339, temperatureRaw = 2800;
    std::uint16_t highestPowerRaw = 65535;  // power setpoints are held to this

    bool answerSettings = true;
    bool answerOutput = true;
    bool answerStatus = true;
    bool echo = true;        // setting commands are answered with the value held
    bool applies = true;     // settings take effect
    bool echoesLag = false;  // an echo reports the value held before its frame came

    // The reply to a frame, or none when the amplifier is kept silent on it.
    std::optional<proto::ReplyBytes> Reply(const std::uint8_t* frame, std::size_t n)
    {
        proto::Frame f;
        if (n < 4 || n > sizeof f.bytes)
            return std::nullopt;
        for (std::size_t i = 0; i < n; ++i)
            f.bytes[i] = frame[i];
        f.size = static_cast<std::uint8_t>(n);
        const proto::CommandInfo* command = proto::FindCommand(f.bytes[3]);
        if (!command)
            return std::nullopt;
        if (command->setting ? !echo && !applies : !Answers(command->code))
            return std::nullopt;
        const proto::Answer answer = proto::AnswerCommand(*this, f);
        if (answer.reply.empty() || (command->setting && !echo))
            return std::nullopt;
        return answer.reply;
    }

    proto::StatusReply Status() override
    {
        return {pumpMa.value_or(settings.targetCurrentMa), inputRaw, outputRaw, temperatureRaw};
    }
    proto::SettingsReply Settings() override { return settings; }
    std::uint8_t Output() override { return output; }
    std::uint16_t SetTargetCurrent(std::uint16_t mA) override { return Take(settings.targetCurrentMa, mA); }
    std::uint16_t SetTargetPower(std::uint16_t raw) override
    {
        return Take(settings.targetPowerRaw, raw < highestPowerRaw ? raw : highestPowerRaw);
    }
    std::uint8_t SetMode(std::uint8_t mode) override { return Take(settings.mode, mode); }
    std::uint8_t SetOutput(std::uint8_t state) override { return Take(output, state); }

protected:
    bool Answers(std::uint8_t query) const
    {
        return query == proto::CMD_QUERY_SETTINGS ? answerSettings
            : query == proto::CMD_QUERY_OUTPUT    ? answerOutput
                                                  : answerStatus;
    }

private:
    template <class T> T Take(T& held, T value)
    {
        const T before = held;
        if (applies)
            held = value;
        return echoesLag ? before : held;
    }
};

}  // namespace fakeamp
