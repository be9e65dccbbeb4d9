// The model moves as documented: the ACC ramp, the APC loop, output following the pump current
// and the input, the diode's thermal drift; in irregular steps, since only the time may matter.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/AmpModel.h"

using sim::AmpModel;
using sim::AmpSetup;

namespace {

double InMw(double dBm)
{
    return std::pow(10.0, dBm / 10);
}

// Output: input + 2 mW per mA above 300 mA, times in/(in + 0.1 mW); and the current giving a power.
double OutDbm(double mA, double in)
{
    return 10 * std::log10(InMw(in) + 2.0 * std::max(0.0, mA - 300) * InMw(in) / (InMw(in) + 0.1));
}
double ApcMa(double dBm, double in)
{
    return 300 + (InMw(dBm) - InMw(in)) * (InMw(in) + 0.1) / (2.0 * InMw(in));
}

// Exponential approach from `from` toward `to` after t with time constant tau.
double Approach(double from, double to, double t, double tau)
{
    return to + (from - to) * std::exp(-t / tau);
}

enum Reading { kCurrentMa, kOutputDbm, kTemperatureC };

void Running(AmpSetup& s)
{
    s.output = proto::kOutputOn;
}
void Apc35(AmpSetup& s)
{
    s.mode = proto::kModeApc;
    s.targetPowerRaw = sim::PowerRawFromDbm(35);
}

struct ModelCase {
    const char* what;
    void (*setup)(AmpSetup&);   // from the defaults: ACC, 1500 mA, 1000 mA/s, output off
    void (*change)(AmpModel&);  // after the output is switched on at 0
    int ms;
    Reading reading;
    double expected;
    double tolerance;
};

TEST(SimModel, MovesAsDocumented)
{
    const ModelCase cases[] = {
        {"ACC ramps at 1000 mA/s", nullptr, nullptr, 500, kCurrentMa, 500, 1e-6},
        {"ACC stops at its target", nullptr, nullptr, 4000, kCurrentMa, 1500, 1e-6},
        {"ACC ramps at the set rate", [](AmpSetup& s) { s.rampMaPerS = 250; }, nullptr, 2000, kCurrentMa, 500, 1e-6},
        {"ACC ramps down", Running, [](AmpModel& m) { m.SetTargetCurrent(500); }, 400, kCurrentMa, 1100, 1e-6},
        {"APC no faster than the ramp", Apc35, nullptr, 300, kCurrentMa, 300, 1e-6},
        {"APC reaches its target", Apc35, nullptr, 15000, kOutputDbm, 35, 0.01},
        {"APC approaches with 0.5 s",
            [](AmpSetup& s) {
                Apc35(s);
                Running(s);
            },
            [](AmpModel& m) { m.SetTargetPowerRaw(sim::PowerRawFromDbm(34.5)); }, 500, kCurrentMa,
            Approach(ApcMa(35, 0), ApcMa(34.5, 0), 0.5, 0.5), 1.0},
        {"APC from a weak input",
            [](AmpSetup& s) {
                Apc35(s);
                s.inputDbm = -5;
            },
            nullptr, 15000, kOutputDbm, 35, 0.01},
        {"APC out of reach holds max current",
            [](AmpSetup& s) {
                Apc35(s);
                s.maxCurrent = 2000;
            },
            nullptr, 15000, kCurrentMa, 2000, 0},
        {"output follows the ramping current", nullptr, nullptr, 1000, kOutputDbm, OutDbm(1000, 0), 0.001},
        {"output follows the input",
            [](AmpSetup& s) {
                Running(s);
                s.inputDbm = -3;
            },
            nullptr, 0, kOutputDbm, OutDbm(1500, -3), 0.001},
        {"10 W at full current",
            [](AmpSetup& s) {
                Running(s);
                s.targetCurrent = 6000;
            },
            nullptr, 0, kOutputDbm, 40.2, 0.05},
        {"diode settled when started running", Running, nullptr, 0, kTemperatureC, 28, 1e-9},
        {"diode warms with a 20 s lag",
            [](AmpSetup& s) {
                s.targetCurrent = 3000;
                s.rampMaPerS = 1e6;
            },
            nullptr, 20000, kTemperatureC, Approach(25, 31, 20, 20), 0.02},
        {"diode follows the ambient", Running,
            [](AmpModel& m) {
                AmpSetup s = m.Setup();
                s.ambientC = 35;
                m.ChangeSetup(s);
            },
            20000, kTemperatureC, Approach(28, 38, 20, 20), 0.02},
    };
    for (const ModelCase& c : cases) {
        AmpSetup s;
        if (c.setup)
            c.setup(s);
        AmpModel m(s);
        m.SetOutput(proto::kOutputOn);
        if (c.change)
            c.change(m);
        for (sim::SimTime t = 0; t < sim::Ms(c.ms); t += 333333)
            m.AdvanceTo(t);
        m.AdvanceTo(sim::Ms(c.ms));
        const double got = c.reading == kCurrentMa ? m.CurrentMa()
            : c.reading == kOutputDbm              ? m.OutputDbm()
                                                   : m.TemperatureC();
        EXPECT_NEAR(got, c.expected, c.tolerance) << c.what;
    }
}

}  // namespace
