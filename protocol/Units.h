// The wire's values as text, written once for every program that shows them: hundredths with two
// places (so 0.01 dBm steps print exactly), powers from the raw scale, times in ISO 8601 UTC, and a
// reading as a CSV line (ampctl watch --csv and ampd's readings log write the same lines).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "protocol/Replies.h"

namespace proto {

// -1 -> "-0.01".
std::string Hundredths(std::int32_t hundredths);
// Raw power units -> dBm with two places: 10339 -> "33.39".
std::string PowerText(std::int32_t raw);
// "2024-05-31T08:15:02.250Z".
std::string IsoUtc(std::chrono::system_clock::time_point t);

constexpr const char* kCsvHeader = "time,current_ma,input_dbm,output_dbm,temperature_c";
std::string ReadingCsv(const std::string& time, const StatusReply& status);

}  // namespace proto
