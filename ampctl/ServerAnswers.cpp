#include "ampctl/ServerAnswers.h"

#include <algorithm>
#include <cctype>

#include "protocol/Frames.h"

namespace ampctl::answers {

namespace {

// What ampd answers for a value it has not learnt yet (SCPI's "not a number").
constexpr const char* kNotANumber = "9.91E+37";

bool Digits(const std::string& text, std::size_t from, std::size_t to)
{
    if (from >= to || to > text.size())
        return false;
    for (std::size_t i = from; i < to; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// A value in hundredths as ampd prints it, with exactly two places: "-3.21" -> -321.
bool Hundredths(const std::string& text, std::int32_t& value)
{
    const std::size_t from = (!text.empty() && text[0] == '-') ? 1 : 0;
    const std::size_t point = text.find('.');
    if (point == std::string::npos || point - from > 6 || text.size() != point + 3 || !Digits(text, from, point)
        || !Digits(text, point + 1, text.size()))
        return false;
    const std::int32_t magnitude = std::stoi(text.substr(from, point - from)) * 100 + std::stoi(text.substr(point + 1));
    value = from ? -magnitude : magnitude;
    return true;
}

// A temperature in degrees, as raw hundredths 0 ... 65535.
Read TemperatureRaw(const std::string& text, std::uint16_t& raw)
{
    std::int32_t hundredths = 0;
    if (!Hundredths(text, hundredths) || hundredths < 0 || hundredths > 65535)
        return Read::kBad;
    raw = static_cast<std::uint16_t>(hundredths);
    return Read::kValue;
}

// One entry of ALAR?'s answer.
bool AlarmEntry(const std::string& text, LatchedAlarm& alarm)
{
    const std::size_t first = text.find(' ');
    const std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second == std::string::npos)
        return false;
    const std::string name = text.substr(0, first);
    const std::string value = text.substr(first + 1, second - first - 1);
    const std::string time = text.substr(second + 1);
    if (name.empty() || name.size() > 32 || !std::isupper(static_cast<unsigned char>(name[0])))
        return false;
    for (char c : name)
        if (!std::isupper(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)) && c != '-')
            return false;
    const std::size_t from = (!value.empty() && value[0] == '-') ? 1 : 0;
    const std::size_t point = std::min(value.find('.'), value.size());
    if (value.size() > 32 || !Digits(value, from, point) || (point - from > 1 && value[from] == '0')
        || (point < value.size() && !Digits(value, point + 1, value.size())))
        return false;
    static const char kForm[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (time.size() != sizeof kForm - 1)
        return false;
    for (std::size_t i = 0; i < time.size(); ++i)
        if (kForm[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(time[i])) : time[i] != kForm[i])
            return false;
    alarm = {name, value, time};
    return true;
}

}  // namespace

Read Milliamps(const std::string& text, std::uint16_t& value)
{
    if (text == kNotANumber)
        return Read::kNothingYet;
    if (text.size() > 5 || !Digits(text, 0, text.size()) || (text.size() > 1 && text[0] == '0'))
        return Read::kBad;
    const long n = std::stol(text);
    if (n > 65535)
        return Read::kBad;
    value = static_cast<std::uint16_t>(n);
    return Read::kValue;
}

Read PowerRaw(const std::string& text, std::uint16_t& raw)
{
    if (text == kNotANumber)
        return Read::kNothingYet;
    std::int32_t hundredths = 0;
    if (!Hundredths(text, hundredths))
        return Read::kBad;
    const std::int32_t value = hundredths + proto::kPowerRawOffset;
    if (value < 0 || value > 65535)
        return Read::kBad;
    raw = static_cast<std::uint16_t>(value);
    return Read::kValue;
}

Read Reading(const std::string& text, proto::StatusReply& status)
{
    const std::string none = std::string(kNotANumber) + "," + kNotANumber + "," + kNotANumber + "," + kNotANumber;
    if (text == none)
        return Read::kNothingYet;
    std::string fields[4];
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t comma = i < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos)
            return Read::kBad;
        fields[i] = text.substr(start, comma - start);
        start = comma + 1;
    }
    proto::StatusReply read;
    const bool good = Milliamps(fields[0], read.currentMa) == Read::kValue
        && PowerRaw(fields[1], read.inputPowerRaw) == Read::kValue
        && PowerRaw(fields[2], read.outputPowerRaw) == Read::kValue
        && TemperatureRaw(fields[3], read.temperatureRaw) == Read::kValue;
    if (!good)
        return Read::kBad;
    status = read;
    return Read::kValue;
}

Read Mode(const std::string& text, std::uint8_t& mode)
{
    if (text == "NONE")
        return Read::kNothingYet;
    if (text != "ACC" && text != "APC")
        return Read::kBad;
    mode = text == "ACC" ? proto::kModeAcc : proto::kModeApc;
    return Read::kValue;
}

Read OutputState(const std::string& text, std::uint8_t& state)
{
    if (text == kNotANumber)
        return Read::kNothingYet;
    if (text != "1" && text != "0")
        return Read::kBad;
    state = text == "1" ? proto::kOutputOn : proto::kOutputOff;
    return Read::kValue;
}

bool ErrorLine(const std::string& text, int& code, std::string& what)
{
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.size() < comma + 3 || text[comma + 1] != '"' || text.back() != '"')
        return false;
    const std::size_t from = (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (comma - from > 6 || !Digits(text, from, comma))
        return false;
    code = std::stoi(text.substr(from, comma - from)) * (text[0] == '-' ? -1 : 1);
    what = text.substr(comma + 2, text.size() - comma - 3);
    return true;
}

bool Alarms(const std::string& text, std::vector<LatchedAlarm>& alarms)
{
    std::vector<LatchedAlarm> read;
    if (text != "NONE") {
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = std::min(text.find(';', start), text.size());
            LatchedAlarm alarm;
            if (!AlarmEntry(text.substr(start, end - start), alarm))
                return false;
            read.push_back(alarm);
            start = end + 1;
        }
    }
    alarms = read;
    return true;
}

std::string Shown(const std::string& text)
{
    constexpr std::size_t kLongest = 80;
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < kLongest; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        shown += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text.size() > kLongest ? shown + "..." : shown;
}

}  // namespace ampctl::answers
