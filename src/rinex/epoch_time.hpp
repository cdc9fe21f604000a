// Calendar time of an epoch as written in a RINEX file, its text form and Julian date.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessora {

struct EpochTime {
    std::int32_t year = 0;
    std::uint32_t month = 0;
    std::uint32_t day = 0;
    std::uint32_t hour = 0;
    std::uint32_t minute = 0;
    double second = 0.0;

    bool operator==(const EpochTime&) const = default;
};

// "2024-03-05T07:09:03.500Z": year 4 digits, month..minute 2 digits, seconds zero-padded to six
// characters with three decimals. Seconds rounding never carries into the minute (59.9996 s
// reads 60.000).
void append_epoch_text(std::string& out, const EpochTime& t);
std::string epoch_text(const EpochTime& t);

// Reads a text written by epoch_text back (fixed layout); nullopt when it does not fit.
std::optional<EpochTime> parse_epoch_text(std::string_view s);

// Julian day number of the civil date (noon based) plus the day fraction counted from midnight,
// all in floating point with floor after each division: 1980-01-06 00:00:00 gives 2444245.0.
double julian_date(const EpochTime& t);

// Signed seconds from b to a: (JD(a) - JD(b)) * 86400.
inline double seconds_between(const EpochTime& a, const EpochTime& b) {
    return (julian_date(a) - julian_date(b)) * 86400.0;
}

// The same as seconds_between without its rounding: a Julian date of today carries the time of
// day to about 40 microseconds only. Whole days and the seconds of the day are subtracted apart,
// which is exact for the times a receiver writes.
inline double exact_seconds_between(const EpochTime& a, const EpochTime& b) {
    const auto midnight = [](EpochTime t) {
        t.hour = t.minute = 0;
        t.second = 0.0;
        return t;
    };
    const auto of_day = [](const EpochTime& t) { return t.hour * 3600.0 + t.minute * 60.0 + t.second; };
    return (julian_date(midnight(a)) - julian_date(midnight(b))) * 86400.0 + (of_day(a) - of_day(b));
}

}  // namespace tessora
