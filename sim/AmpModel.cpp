#include "sim/AmpModel.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr int kWordMax = 0xFFFF;

int ClampWord(long value)
{
    return static_cast<int>(std::clamp<long>(value, 0, kWordMax));
}

double MoveToward(double from, double to, double maxStep)
{
    if (to > from)
        return std::min(to, from + maxStep);
    return std::max(to, from - maxStep);
}

}  // namespace

int PowerRawFromDbm(double dBm)
{
    return ClampWord(std::lround(dBm * 100.0) + 7000);
}

double DbmFromPowerRaw(int raw)
{
    return raw * 0.01 - 70.0;
}

int TemperatureRawFromC(double c)
{
    return ClampWord(std::lround(c * 100.0));
}

double MwFromDbm(double dBm)
{
    return std::pow(10.0, dBm / 10.0);
}

double DbmFromMw(double mW)
{
    return 10.0 * std::log10(mW);
}

double GainSlope(double inputDbm)
{
    // Without a seed the pump has nothing to amplify: the gain fades as the input vanishes.
    const double in = MwFromDbm(inputDbm);
    return AmpPhysics::kSlopeMwPerMa * in / (in + AmpPhysics::kSeedHalfMw);
}

double OutputMw(double currentMa, double inputDbm)
{
    const double aboveThreshold = std::max(0.0, currentMa - AmpPhysics::kThresholdMa);
    return MwFromDbm(inputDbm) + GainSlope(inputDbm) * aboveThreshold;
}

AmpModel::AmpModel(const AmpSetup& initial)
{
    // A unit started with its output on has been running a while: it starts settled.
    ChangeSetup(initial);
    m_current = SteadyCurrent();
    m_temperature = SettledTemperature();
}

double AmpModel::SteadyCurrent() const
{
    if (m_setup.output != proto::kOutputOn)
        return 0.0;
    if (m_setup.mode == proto::kModeAcc)
        return m_setup.targetCurrent;
    const double missingMw = MwFromDbm(DbmFromPowerRaw(m_setup.targetPowerRaw)) - MwFromDbm(m_setup.inputDbm);
    const double needed = AmpPhysics::kThresholdMa + missingMw / GainSlope(m_setup.inputDbm);
    return std::clamp(needed, 0.0, static_cast<double>(m_setup.maxCurrent));
}

double AmpModel::SettledTemperature() const
{
    return m_setup.ambientC + AmpPhysics::kTempRiseCPerA * m_current / 1000.0;
}

void AmpModel::ChangeSetup(const AmpSetup& next)
{
    m_setup = next;
    m_setup.maxCurrent = std::clamp(m_setup.maxCurrent, 0, kWordMax);
    m_setup.targetCurrent = std::clamp(m_setup.targetCurrent, 0, m_setup.maxCurrent);
    m_setup.maxPowerRaw = std::max(m_setup.maxPowerRaw, m_setup.minPowerRaw);
    m_setup.targetPowerRaw = std::clamp(m_setup.targetPowerRaw, m_setup.minPowerRaw, m_setup.maxPowerRaw);
    m_current = std::min(m_current, static_cast<double>(m_setup.maxCurrent));
    if (m_setup.output != proto::kOutputOn)
        m_current = 0.0;
}

void AmpModel::AdvanceTo(SimTime t)
{
    const double dt = static_cast<double>(AmpPhysics::kStep) / kNsPerS;
    while (t - m_now >= AmpPhysics::kStep) {
        Step(dt);
        m_now += AmpPhysics::kStep;
    }
}

void AmpModel::Step(double dt)
{
    m_current = PumpCurrentAfter(dt);
    m_temperature += (SettledTemperature() - m_temperature) * dt / AmpPhysics::kTempTimeConstantS;
}

double AmpModel::PumpCurrentAfter(double dt) const
{
    // The driver cuts the pump at once when the output is switched off; it ramps back when on.
    if (m_setup.output != proto::kOutputOn)
        return 0.0;
    if (m_setup.mode == proto::kModeApc)
        return ApcCurrentAfter(dt);
    return MoveToward(m_current, m_setup.targetCurrent, m_setup.rampMaPerS * dt);
}

double AmpModel::ApcCurrentAfter(double dt) const
{
    // Aim at the current the output's slope says would close the gap, and approach it with the
    // loop's time constant, no faster than the ramp limit allows.
    const double errorMw = MwFromDbm(DbmFromPowerRaw(m_setup.targetPowerRaw)) - OutputMw(m_current, m_setup.inputDbm);
    const double wanted = m_current + errorMw / GainSlope(m_setup.inputDbm);
    const double step
        = std::min(std::abs(wanted - m_current) * dt / AmpPhysics::kApcTimeConstantS, m_setup.rampMaPerS * dt);
    const double next = MoveToward(m_current, wanted, step);
    return std::clamp(next, 0.0, static_cast<double>(m_setup.maxCurrent));
}

int AmpModel::SetTargetCurrent(int mA)
{
    m_setup.targetCurrent = std::clamp(mA, 0, m_setup.maxCurrent);
    return m_setup.targetCurrent;
}

int AmpModel::SetTargetPowerRaw(int raw)
{
    m_setup.targetPowerRaw = std::clamp(raw, m_setup.minPowerRaw, m_setup.maxPowerRaw);
    return m_setup.targetPowerRaw;
}

std::uint8_t AmpModel::SetMode(std::uint8_t mode)
{
    // Anything but the two known modes leaves the mode as it was.
    if (mode == proto::kModeAcc || mode == proto::kModeApc)
        m_setup.mode = mode;
    return m_setup.mode;
}

std::uint8_t AmpModel::SetOutput(std::uint8_t state)
{
    if (state == proto::kOutputOn || state == proto::kOutputOff)
        m_setup.output = state;
    if (m_setup.output != proto::kOutputOn)
        m_current = 0.0;
    return m_setup.output;
}

double AmpModel::OutputDbm() const
{
    if (m_setup.output != proto::kOutputOn)
        return AmpPhysics::kOutputFloorDbm;
    return std::max(AmpPhysics::kOutputFloorDbm, DbmFromMw(OutputMw(m_current, m_setup.inputDbm)));
}

StatusRaw AmpModel::Status() const
{
    StatusRaw s;
    s.currentMa = ClampWord(std::lround(m_current));
    s.inputPowerRaw = PowerRawFromDbm(m_setup.inputDbm);
    s.outputPowerRaw = PowerRawFromDbm(OutputDbm());
    s.temperatureRaw = TemperatureRawFromC(m_temperature);
    return s;
}

}  // namespace sim
