// The guard: limits on the readings that, broken on two polls in a row, switch the output off.
// Platform-free; the line owner feeds it every reading and carries out what it decides.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/Replies.h"

namespace engine {

struct GuardLimits {
    std::optional<double> maxTempC;
    std::optional<double> minInputDbm;  // below it the input signal is lost
    std::optional<double> maxOutputDbm;
    std::optional<double> maxCurrentMa;

    bool Any() const { return maxTempC || minInputDbm || maxOutputDbm || maxCurrentMa; }
};

// "max-temp=45,min-input=-30,max-output=40.5,max-current=5000": each name at most once, each value a
// finite decimal number. False, with the reason, for anything else.
bool ParseGuardRules(const std::string& rules, GuardLimits& limits, std::string& error);

// A limit broken: its alarm name (MAX-TEMP, MIN-INPUT, MAX-OUTPUT, MAX-CURRENT) and the reading that
// broke it, in the limit's unit.
struct Breach {
    std::string name;
    double value = 0;
};

class Guard {
public:
    // A reading broken on this many polls in a row trips: one stray reading does not.
    static constexpr int kPollsInARow = 2;

    explicit Guard(const GuardLimits& limits) : m_limits(limits) {}

    // One poll's reading; returns every limit broken on it and on the poll before. A limit keeps
    // tripping on each further broken reading until it is back within bounds: whether that still
    // needs action (an alarm already latched) is the caller's to decide.
    std::vector<Breach> Check(const proto::StatusReply& reading);
    // The link was lost: polls before it are not "in a row" with polls after it.
    void Forget();

private:
    struct Count {
        int current = 0, input = 0, output = 0, temp = 0;
    };
    GuardLimits m_limits;
    Count m_inARow;
};

}  // namespace engine
