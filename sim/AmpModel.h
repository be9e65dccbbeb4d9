// The amplifier as a model stepped in time: pump current, output power and diode temperature
// follow the setpoints and the surroundings held in AmpSetup.
#pragma once

#include <cstdint>

#include "protocol/Frames.h"
#include "sim/SimTime.h"

namespace sim {

// Raw power units: dBm x 100 + 7000, 16-bit unsigned on the wire.
int PowerRawFromDbm(double dBm);
double DbmFromPowerRaw(int raw);
// Hundredths of a degree, 16-bit unsigned on the wire (below 0 reads 0).
int TemperatureRawFromC(double c);

double MwFromDbm(double dBm);
double DbmFromMw(double mW);

// What the amplifier holds and what surrounds it. Set at start from the command line, changed by
// the panel's setting commands and by the control channel.
struct AmpSetup {
    int maxCurrent = 6000;             // mA
    int targetCurrent = 1500;          // mA, 0 ... maxCurrent
    int targetPowerRaw = 7000 + 3700;  // 37.00 dBm
    int minPowerRaw = 7000 + 1000;     // 10.00 dBm: lowest target power accepted
    int maxPowerRaw = 7000 + 4000;     // 40.00 dBm: highest target power accepted
    std::uint8_t mode = proto::kModeAcc;
    std::uint8_t output = proto::kOutputOff;  // a real unit powers up with its output off
    double inputDbm = 0.0;
    double ambientC = 25.0;
    std::uint8_t selector = 1;   // byte 17 of the settings reply
    double rampMaPerS = 1000.0;  // pump current slew limit
    int latencyMs = 5;           // from a command's last byte to its reply
};

// Fixed characteristics of the simulated unit.
struct AmpPhysics {
    static constexpr double kThresholdMa = 300.0;       // no gain below it
    static constexpr double kSlopeMwPerMa = 2.0;        // signal gained per mA above threshold
    static constexpr double kSeedHalfMw = 0.1;          // input at which half that slope is reached
    static constexpr double kOutputFloorDbm = -50.0;    // output monitor's floor (and output off)
    static constexpr double kApcTimeConstantS = 0.5;    // power loop's approach to its target
    static constexpr double kTempRiseCPerA = 2.0;       // diode temperature above ambient per A
    static constexpr double kTempTimeConstantS = 20.0;  // thermal lag
    static constexpr SimTime kStep = Ms(1);             // integration step
};

// Signal power gained per mA of pump current above threshold, for an input power.
double GainSlope(double inputDbm);
// The signal power (mW) leaving the fibre for a pump current and an input power.
double OutputMw(double currentMa, double inputDbm);

// The four values of a status reply, in wire units.
struct StatusRaw {
    int currentMa = 0;
    int inputPowerRaw = 0;
    int outputPowerRaw = 0;
    int temperatureRaw = 0;
};

class AmpModel {
public:
    explicit AmpModel(const AmpSetup& setup);

    // Integrates in fixed steps up to t, so the state depends on t alone, not on how often it is
    // asked. Earlier times are ignored.
    void AdvanceTo(SimTime t);
    SimTime Now() const { return m_now; }

    const AmpSetup& Setup() const { return m_setup; }
    // Replaces the setup, holding the setpoints inside their limits.
    void ChangeSetup(const AmpSetup& next);

    // The panel's setting commands; each returns the value now held.
    int SetTargetCurrent(int mA);
    int SetTargetPowerRaw(int raw);
    std::uint8_t SetMode(std::uint8_t mode);
    std::uint8_t SetOutput(std::uint8_t state);

    double CurrentMa() const { return m_current; }
    double TemperatureC() const { return m_temperature; }
    double OutputDbm() const;
    StatusRaw Status() const;

    // Where the pump current comes to rest for the present setup, and where the diode's
    // temperature comes to rest for the present pump current.
    double SteadyCurrent() const;
    double SettledTemperature() const;

private:
    void Step(double dt);
    double PumpCurrentAfter(double dt) const;
    double ApcCurrentAfter(double dt) const;

    AmpSetup m_setup;
    SimTime m_now = 0;
    double m_current = 0.0;      // mA
    double m_temperature = 0.0;  // degrees C
};

}  // namespace sim
