#include "sim/AmpModel.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr int WORD_MAX = 0xFFFF;

int ClampWord(long value)
{
    return static_cast<int>(std::clamp<long>(value, 0, WORD_MAX));
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
    return AmpPhysics::SLOPE_MW_PER_MA * in / (in + AmpPhysics::SEED_HALF_MW);
}

double OutputMw(double currentMa, double inputDbm)
{
    const double aboveThreshold = std::max(0.0, currentMa - AmpPhysics::THRESHOLD_MA);
    return MwFromDbm(inputDbm) + GainSlope(inputDbm) * aboveThreshold;
}

AmpModel::AmpModel(const AmpSetup& initial)
{
    // A unit started with its output on has been running a while: it starts settled.
    ChangeSetup(initial);
    current = SteadyCurrent();
    temperature = SettledTemperature();
}

double AmpModel::SteadyCurrent() const
{
    if (setup.output != OUTPUT_ON)
        return 0.0;
    if (setup.mode == MODE_ACC)
        return setup.targetCurrent;
    const double missingMw = MwFromDbm(DbmFromPowerRaw(setup.targetPowerRaw)) - MwFromDbm(setup.inputDbm);
    const double needed = AmpPhysics::THRESHOLD_MA + missingMw / GainSlope(setup.inputDbm);
    return std::clamp(needed, 0.0, static_cast<double>(setup.maxCurrent));
}

double AmpModel::SettledTemperature() const
{
    return setup.ambientC + AmpPhysics::TEMP_RISE_C_PER_A * current / 1000.0;
}

void AmpModel::ChangeSetup(const AmpSetup& next)
{
    setup = next;
    setup.maxCurrent = std::clamp(setup.maxCurrent, 0, WORD_MAX);
    setup.targetCurrent = std::clamp(setup.targetCurrent, 0, setup.maxCurrent);
    setup.maxPowerRaw = std::max(setup.maxPowerRaw, setup.minPowerRaw);
    setup.targetPowerRaw = std::clamp(setup.targetPowerRaw, setup.minPowerRaw, setup.maxPowerRaw);
    current = std::min(current, static_cast<double>(setup.maxCurrent));
    if (setup.output != OUTPUT_ON)
        current = 0.0;
}

void AmpModel::AdvanceTo(SimTime t)
{
    const double dt = static_cast<double>(AmpPhysics::STEP) / NS_PER_S;
    while (t - now >= AmpPhysics::STEP) {
        Step(dt);
        now += AmpPhysics::STEP;
    }
}

void AmpModel::Step(double dt)
{
    current = PumpCurrentAfter(dt);
    temperature += (SettledTemperature() - temperature) * dt / AmpPhysics::TEMP_TIME_CONSTANT_S;
}

double AmpModel::PumpCurrentAfter(double dt) const
{
    // The driver cuts the pump at once when the output is switched off; it ramps back when on.
    if (setup.output != OUTPUT_ON)
        return 0.0;
    if (setup.mode == MODE_APC)
        return ApcCurrentAfter(dt);
    return MoveToward(current, setup.targetCurrent, setup.rampMaPerS * dt);
}

double AmpModel::ApcCurrentAfter(double dt) const
{
    // Aim at the current the output's slope says would close the gap, and approach it with the
    // loop's time constant, no faster than the ramp limit allows.
    const double errorMw = MwFromDbm(DbmFromPowerRaw(setup.targetPowerRaw)) - OutputMw(current, setup.inputDbm);
    const double wanted = current + errorMw / GainSlope(setup.inputDbm);
    const double step
        = std::min(std::abs(wanted - current) * dt / AmpPhysics::APC_TIME_CONSTANT_S, setup.rampMaPerS * dt);
    const double next = MoveToward(current, wanted, step);
    return std::clamp(next, 0.0, static_cast<double>(setup.maxCurrent));
}

int AmpModel::SetTargetCurrent(int mA)
{
    setup.targetCurrent = std::clamp(mA, 0, setup.maxCurrent);
    return setup.targetCurrent;
}

int AmpModel::SetTargetPowerRaw(int raw)
{
    setup.targetPowerRaw = std::clamp(raw, setup.minPowerRaw, setup.maxPowerRaw);
    return setup.targetPowerRaw;
}

std::uint8_t AmpModel::SetMode(std::uint8_t mode)
{
    // Anything but the two known modes leaves the mode as it was.
    if (mode == MODE_ACC || mode == MODE_APC)
        setup.mode = mode;
    return setup.mode;
}

std::uint8_t AmpModel::SetOutput(std::uint8_t state)
{
    if (state == OUTPUT_ON || state == OUTPUT_OFF)
        setup.output = state;
    if (setup.output != OUTPUT_ON)
        current = 0.0;
    return setup.output;
}

double AmpModel::OutputDbm() const
{
    if (setup.output != OUTPUT_ON)
        return AmpPhysics::OUTPUT_FLOOR_DBM;
    return std::max(AmpPhysics::OUTPUT_FLOOR_DBM, DbmFromMw(OutputMw(current, setup.inputDbm)));
}

StatusRaw AmpModel::Status() const
{
    StatusRaw s;
    s.currentMa = ClampWord(std::lround(current));
    s.inputPowerRaw = PowerRawFromDbm(setup.inputDbm);
    s.outputPowerRaw = PowerRawFromDbm(OutputDbm());
    s.temperatureRaw = TemperatureRawFromC(temperature);
    return s;
}

}  // namespace sim
