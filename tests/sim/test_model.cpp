// The model moves as documented: the ACC ramp, the APC loop, output following the pump and the
// input, the diode's thermal drift; and it depends on time alone.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/AmpModel.h"

using sim::AmpModel;
using sim::AmpSetup;
using sim::Ms;

namespace {

AmpSetup UnitWith(std::uint8_t mode, int target, double ramp)
{
    AmpSetup s;
    s.mode = mode;
    s.targetCurrent = target;
    s.rampMaPerS = ramp;
    return s;  // output off: switched on by the test at time 0
}

TEST(SimModel, AccRampsToTargetAtTheSetRate)
{
    const struct {
        double ramp;
        int target;
        int ms;
        double expected;
    } cases[] = {
        {1000, 1500, 500, 500},  {1000, 1500, 1000, 1000}, {1000, 1500, 1500, 1500},
        {1000, 1500, 4000, 1500}, {250, 1500, 2000, 500},   {5000, 6000, 600, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ramp << " mA/s to " << c.target << " after " << c.ms << " ms");
        AmpModel m(UnitWith(sim::MODE_ACC, c.target, c.ramp));
        m.SetOutput(sim::OUTPUT_ON);
        m.AdvanceTo(Ms(c.ms));
        EXPECT_NEAR(m.CurrentMa(), c.expected, 1e-6);
    }
}

TEST(SimModel, AccRampsDownWhenTheTargetIsLowered)
{
    AmpSetup s = UnitWith(sim::MODE_ACC, 1500, 1000);
    s.output = sim::OUTPUT_ON;
    AmpModel m(s);
    ASSERT_DOUBLE_EQ(m.CurrentMa(), 1500);  // started running: settled
    m.SetTargetCurrent(500);
    m.AdvanceTo(Ms(400));
    EXPECT_NEAR(m.CurrentMa(), 1100, 1e-6);
    m.AdvanceTo(Ms(2000));
    EXPECT_NEAR(m.CurrentMa(), 500, 1e-6);
}

TEST(SimModel, OutputOffCutsThePumpAndReadsTheFloor)
{
    AmpSetup s = UnitWith(sim::MODE_ACC, 3000, 1000);
    s.output = sim::OUTPUT_ON;
    AmpModel m(s);
    ASSERT_GT(m.OutputDbm(), 30.0);
    m.SetOutput(sim::OUTPUT_OFF);
    EXPECT_EQ(m.CurrentMa(), 0.0);
    EXPECT_EQ(m.OutputDbm(), sim::AmpPhysics::OUTPUT_FLOOR_DBM);
    m.AdvanceTo(Ms(5000));
    EXPECT_EQ(m.Status().currentMa, 0);
    EXPECT_EQ(m.Status().outputPowerRaw, sim::PowerRawFromDbm(sim::AmpPhysics::OUTPUT_FLOOR_DBM));
}

TEST(SimModel, OutputFollowsPumpCurrentAndInput)
{
    // No gain at or below threshold; gain grows with current and with the seed.
    EXPECT_DOUBLE_EQ(sim::OutputMw(0, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(sim::OutputMw(sim::AmpPhysics::THRESHOLD_MA, 3.0), sim::MwFromDbm(3.0));
    const double currents[] = {500, 1000, 2000, 4000, 6000};
    for (std::size_t i = 1; i < std::size(currents); ++i) {
        EXPECT_GT(sim::OutputMw(currents[i], 0.0), sim::OutputMw(currents[i - 1], 0.0));
        EXPECT_GT(sim::OutputMw(currents[i], 3.0), sim::OutputMw(currents[i], 0.0));
    }
    // Without a seed there is next to nothing to amplify: under 1 mW at full current.
    EXPECT_LT(sim::OutputMw(6000, -70.0), 1.0);
    // The unit is a 10 W amplifier: about 40 dBm at full current with a 0 dBm seed.
    EXPECT_NEAR(sim::DbmFromMw(sim::OutputMw(6000, 0.0)), 40.0, 0.5);
}

TEST(SimModel, ApcLoopBringsOutputToTarget)
{
    const struct {
        double targetDbm;
        double inputDbm;
        int maxCurrent;
        double expectDbm;  // NAN: target unreachable, pump held at max current
    } cases[] = {
        {35.0, 0.0, 6000, 35.0},
        {30.0, 3.0, 6000, 30.0},
        {20.5, -5.0, 6000, 20.5},
        {40.0, 0.0, 3000, NAN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.targetDbm << " dBm from " << c.inputDbm << " dBm");
        AmpSetup s = UnitWith(sim::MODE_APC, 0, 1000);
        s.maxCurrent = c.maxCurrent;
        s.inputDbm = c.inputDbm;
        s.targetPowerRaw = sim::PowerRawFromDbm(c.targetDbm);
        AmpModel m(s);
        m.SetOutput(sim::OUTPUT_ON);
        double previous = 0;
        for (int ms = 100; ms <= 15000; ms += 100) {
            m.AdvanceTo(Ms(ms));
            // Never faster than the ramp, never above the maximum.
            EXPECT_LE(std::abs(m.CurrentMa() - previous), 100.0 + 1e-9);
            EXPECT_LE(m.CurrentMa(), c.maxCurrent);
            previous = m.CurrentMa();
        }
        if (std::isnan(c.expectDbm)) {
            EXPECT_DOUBLE_EQ(m.CurrentMa(), c.maxCurrent);
            EXPECT_LT(m.OutputDbm(), c.targetDbm);
        } else {
            EXPECT_NEAR(m.OutputDbm(), c.expectDbm, 0.01);
        }
    }
}

TEST(SimModel, ApcStartedRunningIsAlreadyOnTarget)
{
    AmpSetup s = UnitWith(sim::MODE_APC, 0, 1000);
    s.output = sim::OUTPUT_ON;
    s.targetPowerRaw = sim::PowerRawFromDbm(33.0);
    AmpModel m(s);
    EXPECT_NEAR(m.OutputDbm(), 33.0, 0.01);
    m.AdvanceTo(Ms(3000));
    EXPECT_NEAR(m.OutputDbm(), 33.0, 0.01);
}

TEST(SimModel, DiodeTemperatureDriftsWithLoadAndAmbient)
{
    AmpSetup s = UnitWith(sim::MODE_ACC, 3000, 1e6);  // the ramp is instant next to the thermal lag
    AmpModel m(s);
    EXPECT_DOUBLE_EQ(m.TemperatureC(), 25.0);
    m.SetOutput(sim::OUTPUT_ON);
    // Settles at ambient + 2 degrees per ampere with a 20 s time constant.
    const double rise = 2.0 * 3.0;
    const struct {
        int seconds;
        double expected;
    } steps[] = {
        {20, 25.0 + rise * (1 - std::exp(-1.0))},
        {40, 25.0 + rise * (1 - std::exp(-2.0))},
        {200, 25.0 + rise},
    };
    for (const auto& st : steps) {
        m.AdvanceTo(Ms(st.seconds * 1000));
        EXPECT_NEAR(m.TemperatureC(), st.expected, 0.02) << st.seconds << " s";
    }
    AmpSetup warmer = m.Setup();
    warmer.ambientC = 35.0;
    m.ChangeSetup(warmer);
    m.AdvanceTo(Ms(220 * 1000));
    EXPECT_NEAR(m.TemperatureC(), 31.0 + 10.0 * (1 - std::exp(-1.0)), 0.02);
}

TEST(SimModel, StateDependsOnTimeAloneNotOnHowOftenItIsAsked)
{
    AmpSetup s = UnitWith(sim::MODE_APC, 0, 800);
    s.targetPowerRaw = sim::PowerRawFromDbm(36.0);
    AmpModel coarse(s);
    AmpModel fine(s);
    coarse.SetOutput(sim::OUTPUT_ON);
    fine.SetOutput(sim::OUTPUT_ON);
    for (sim::SimTime t = 0; t < Ms(7000); t += 333333)
        fine.AdvanceTo(t);
    fine.AdvanceTo(Ms(7000));
    coarse.AdvanceTo(Ms(7000));
    EXPECT_EQ(coarse.CurrentMa(), fine.CurrentMa());
    EXPECT_EQ(coarse.TemperatureC(), fine.TemperatureC());
    EXPECT_EQ(coarse.Now(), fine.Now());
}

TEST(SimModel, LimitsHoldTheSetpoints)
{
    AmpSetup s;
    s.output = sim::OUTPUT_ON;
    AmpModel m(s);
    AmpSetup lower = m.Setup();
    lower.maxCurrent = 1000;
    lower.maxPowerRaw = sim::PowerRawFromDbm(30.0);
    m.ChangeSetup(lower);
    EXPECT_EQ(m.Setup().targetCurrent, 1000);
    EXPECT_LE(m.CurrentMa(), 1000.0);
    EXPECT_EQ(m.Setup().targetPowerRaw, sim::PowerRawFromDbm(30.0));
    EXPECT_EQ(m.SetTargetCurrent(-5), 0);
    EXPECT_EQ(m.SetTargetPowerRaw(65535), sim::PowerRawFromDbm(30.0));
}

TEST(SimModel, RawUnits)
{
    EXPECT_EQ(sim::PowerRawFromDbm(0.0), 7000);
    EXPECT_EQ(sim::PowerRawFromDbm(20.5), 9050);
    EXPECT_EQ(sim::PowerRawFromDbm(-80.0), 0);       // below the scale: its bottom
    EXPECT_EQ(sim::PowerRawFromDbm(700.0), 65535);   // above: its top
    EXPECT_EQ(sim::TemperatureRawFromC(25.0), 2500);
    EXPECT_EQ(sim::TemperatureRawFromC(-3.0), 0);
}

}  // namespace
