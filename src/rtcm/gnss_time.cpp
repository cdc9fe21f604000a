#include "rtcm/gnss_time.hpp"

#include <cmath>

namespace tessora::rtcm {

namespace {

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int32_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int32_t>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr std::int64_t kGpsEpochDays = 3657;  // 1980-01-06 counted from 1970-01-01

// GPS time (s) at which each leap second took effect, with GPS - UTC from then on.
struct Leap {
    std::int64_t year;
    unsigned month;
    int seconds;
};
constexpr Leap kLeaps[] = {{1981, 7, 1},  {1982, 7, 2},  {1983, 7, 3},  {1985, 7, 4},  {1988, 1, 5},
                           {1990, 1, 6},  {1991, 1, 7},  {1992, 7, 8},  {1993, 7, 9},  {1994, 7, 10},
                           {1996, 1, 11}, {1997, 7, 12}, {1999, 1, 13}, {2006, 1, 14}, {2009, 1, 15},
                           {2012, 7, 16}, {2015, 7, 17}, {2017, 1, 18}};

}  // namespace

double gps_seconds(const EpochTime& t) {
    const std::int64_t days = days_from_civil(t.year, t.month, t.day) - kGpsEpochDays;
    return static_cast<double>(days) * 86400.0 + t.hour * 3600.0 + t.minute * 60.0 + t.second;
}

EpochTime gps_calendar(double seconds) {
    // Whole microseconds, so that a millisecond epoch gives an exact decimal second.
    const auto us = static_cast<std::int64_t>(std::llround(seconds * 1e6));
    const std::int64_t day_us = 86400LL * 1000000;
    std::int64_t days = us / day_us;
    std::int64_t rest = us % day_us;
    if (rest < 0) {
        rest += day_us;
        --days;
    }
    EpochTime t;
    civil_from_days(days + kGpsEpochDays, t.year, t.month, t.day);
    t.hour = static_cast<std::uint32_t>(rest / 3600000000LL);
    rest %= 3600000000LL;
    t.minute = static_cast<std::uint32_t>(rest / 60000000LL);
    rest %= 60000000LL;
    t.second = static_cast<double>(rest) / 1e6;
    return t;
}

double gps_seconds_of_unix(double unix_seconds) {
    const double utc_gps = unix_seconds - static_cast<double>(kGpsEpochDays) * 86400.0;
    return utc_gps + leap_seconds_at(utc_gps + 18.0);
}

int leap_seconds_at(double gps) {
    int leap = 0;
    for (const Leap& l : kLeaps) {
        const double at = static_cast<double>(days_from_civil(l.year, l.month, 1) - kGpsEpochDays) * 86400.0 + l.seconds;
        if (gps >= at) leap = l.seconds;
    }
    return leap;
}

}  // namespace tessora::rtcm
