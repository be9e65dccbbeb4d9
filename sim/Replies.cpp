#include "sim/Replies.h"

namespace sim {

namespace {

// Model values go out as the protocol's unsigned 16-bit fields: their low 16 bits.
std::uint16_t Wire(int value)
{
    return static_cast<std::uint16_t>(value);
}

class ModelSide : public proto::AmplifierSide {
public:
    explicit ModelSide(AmpModel& model) : m_model(model) {}

    proto::StatusReply Status() override
    {
        const StatusRaw s = m_model.Status();
        return {Wire(s.currentMa), Wire(s.inputPowerRaw), Wire(s.outputPowerRaw), Wire(s.temperatureRaw)};
    }
    proto::SettingsReply Settings() override
    {
        const AmpSetup& setup = m_model.Setup();
        return {Wire(setup.targetPowerRaw), Wire(setup.targetCurrent), Wire(setup.maxCurrent), setup.mode, setup.selector};
    }
    std::uint8_t Output() override { return m_model.Setup().output; }
    std::uint16_t SetTargetCurrent(std::uint16_t mA) override { return Wire(m_model.SetTargetCurrent(mA)); }
    std::uint16_t SetTargetPower(std::uint16_t raw) override { return Wire(m_model.SetTargetPowerRaw(raw)); }
    std::uint8_t SetMode(std::uint8_t mode) override { return m_model.SetMode(mode); }
    std::uint8_t SetOutput(std::uint8_t state) override { return m_model.SetOutput(state); }

private:
    AmpModel& m_model;
};

}  // namespace

Answer AnswerCommand(AmpModel& model, const proto::Frame& command)
{
    ModelSide side(model);
    return proto::AnswerCommand(side, command);
}

}  // namespace sim
