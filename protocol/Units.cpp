#include "protocol/Units.h"

#include <cstdio>

namespace proto {

std::string Hundredths(std::int32_t hundredths)
{
    const long long magnitude = hundredths < 0 ? -static_cast<long long>(hundredths) : hundredths;
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", hundredths < 0 ? "-" : "", magnitude / 100, magnitude % 100);
    return text;
}

std::string IsoUtc(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const long long msOfDay = ((ms % 86400000) + 86400000) % 86400000;
    // Civil date from days since 1970-01-01 (the proleptic Gregorian calendar).
    const long long z = (ms - msOfDay) / 86400000 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month, day,
        msOfDay / 3600000, msOfDay / 60000 % 60, msOfDay / 1000 % 60, msOfDay % 1000);
    return text;
}

std::string PowerText(std::int32_t raw)
{
    return Hundredths(raw - kPowerRawOffset);
}

std::string ReadingCsv(const std::string& time, const StatusReply& status)
{
    return time + "," + std::to_string(status.currentMa) + "," + PowerText(status.inputPowerRaw) + ","
        + PowerText(status.outputPowerRaw) + "," + Hundredths(status.temperatureRaw);
}

}  // namespace proto
