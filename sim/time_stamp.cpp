#include "time_stamp.h"

#include <cstdio>

namespace boxmodel {

namespace {

constexpr std::int64_t kMjdOfUnixEpoch = 40587;
constexpr std::int64_t kDateWrap = 65536;
constexpr std::int64_t kSecondsPerDay = 86400;

// Howard Hinnant's days_from_civil / civil_from_days: exact for every
// Gregorian date, no tables.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    return {static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
}

std::optional<int> fromBcd(std::uint8_t byte, int limit) {
    const int tens = byte >> 4;
    const int units = byte & 0x0F;
    if (tens > 9 || units > 9) return std::nullopt;
    const int value = tens * 10 + units;
    if (value > limit) return std::nullopt;
    return value;
}

}  // namespace

std::int64_t mjdOf(const CivilDate& date) {
    return daysFromCivil(date.year, static_cast<unsigned>(date.month), static_cast<unsigned>(date.day)) +
           kMjdOfUnixEpoch;
}

CivilDate dateOfMjd(std::int64_t mjd) { return civilFromDays(mjd - kMjdOfUnixEpoch); }

std::optional<BoxTimeStamp> decodeTimeStamp(const std::uint8_t bytes[5]) {
    const auto hour = fromBcd(bytes[2], 23);
    const auto minute = fromBcd(bytes[3], 59);
    const auto second = fromBcd(bytes[4], 59);
    if (!hour || !minute || !second) return std::nullopt;
    return BoxTimeStamp{static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]), *hour, *minute, *second};
}

std::int64_t secondsAfter(const BoxTimeStamp& stamp, const CivilDate& date, int hour, int minute, int second) {
    const std::int64_t period = kDateWrap * kSecondsPerDay;
    const std::int64_t stampSeconds = stamp.mjd * kSecondsPerDay + stamp.hour * 3600 + stamp.minute * 60 + stamp.second;
    const std::int64_t pcSeconds =
        (mjdOf(date) % kDateWrap) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    std::int64_t diff = (stampSeconds - pcSeconds) % period;
    if (diff < 0) diff += period;
    if (diff > period / 2) diff -= period;
    return diff;
}

std::string describe(const BoxTimeStamp& stamp, const CivilDate& reference) {
    // Put the 16-bit date into the 65536-day era nearest the reference.
    const std::int64_t ref = mjdOf(reference);
    std::int64_t mjd = ref - ref % kDateWrap + stamp.mjd;
    if (mjd - ref > kDateWrap / 2) mjd -= kDateWrap;
    if (ref - mjd > kDateWrap / 2) mjd += kDateWrap;
    const CivilDate date = dateOfMjd(mjd);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", date.year, date.month, date.day, stamp.hour,
                  stamp.minute, stamp.second);
    return text;
}

}  // namespace boxmodel
