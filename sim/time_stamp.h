// The 5-byte time stamp a dated boot loader receives: the Modified Julian Date
// (16 bits, big-endian) and the time of day in BCD.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace boxmodel {

struct CivilDate {
    int year;
    int month;  // 1 to 12
    int day;    // 1 to 31
};

// The Modified Julian Date of a Gregorian date (days since 17 November 1858).
std::int64_t mjdOf(const CivilDate& date);
CivilDate dateOfMjd(std::int64_t mjd);

struct BoxTimeStamp {
    std::uint16_t mjd;  // modulo 65536, as sent
    int hour;
    int minute;
    int second;
};

// Decodes the 5 bytes; nothing when a BCD digit is above 9 or a field out of
// range.
std::optional<BoxTimeStamp> decodeTimeStamp(const std::uint8_t bytes[5]);

// How many seconds the stamp lies after the given local date and time (negative:
// before), taking the 16-bit wrap of the date into account.
std::int64_t secondsAfter(const BoxTimeStamp& stamp, const CivilDate& date, int hour, int minute, int second);

// "2002-06-15 14:35:09", the date taken from the 16-bit MJD in the era of the
// reference date.
std::string describe(const BoxTimeStamp& stamp, const CivilDate& reference);

}  // namespace boxmodel
