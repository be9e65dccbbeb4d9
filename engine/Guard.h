// The guard: limits on the readings that, broken on two of the last three polls, switch the
// output off. A reading at a limit is within it: only beyond it is a limit broken.
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
    // A limit broken on this many of the last kPollsLooked at trips: one stray reading does not,
    // and neither does a reading that wanders about the limit escape it.
    static constexpr int kPollsBroken = 2;
    static constexpr int kPollsLooked = 3;

    explicit Guard(const GuardLimits& limits) : m_limits(limits) {}

    // One poll's reading; returns every limit it breaks that was broken on at least two of the last
    // three polls, this one included. A limit keeps tripping on each further broken reading while
    // that holds: whether that still needs action (an alarm already latched) is the caller's.
    std::vector<Breach> Check(const proto::StatusReply& reading);
    // The link was lost: polls before it do not count with polls after it.
    void Forget();

private:
    // The last polls of one limit, a bit each (1: broken), the latest lowest.
    struct Recent {
        unsigned current = 0, input = 0, output = 0, temp = 0;
    };
    GuardLimits m_limits;
    Recent m_recent;
};

}  // namespace engine
