// The settable parts of AmpSetup by name. One table serves the command line (--name value) and
// the control channel (set name value), so both accept the same names, units and ranges.
#pragma once

#include <string>
#include <vector>

#include "sim/AmpModel.h"

namespace sim {

struct SetupField {
    const char* name;
    const char* valueHelp;  // how the value is written, for --help
    const char* help;
    // Parses text into the setup; returns an error message, empty on success.
    std::string (*apply)(AmpSetup& setup, const std::string& text);
    // The value held, written the way apply reads it.
    std::string (*show)(const AmpSetup& setup);
};

const std::vector<SetupField>& SetupFields();
const SetupField* FindSetupField(const std::string& name);

// Checks the setpoints against their limits; returns an error message, empty when consistent.
std::string CheckSetup(const AmpSetup& setup);

// Strict numbers: the whole text, finite, inside [min, max].
bool ParseInt(const std::string& text, long min, long max, long& value);
bool ParseReal(const std::string& text, double min, double max, double& value);

}  // namespace sim
