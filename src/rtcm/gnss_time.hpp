// GPS time: seconds since 1980-01-06 00:00:00, calendar conversion, weeks and the leap seconds
// between GPS time and UTC.
#pragma once

#include <cstdint>

#include "rinex/epoch_time.hpp"

namespace tessora::rtcm {

inline constexpr std::int64_t kWeekMs = 604800000;
inline constexpr std::int64_t kDayMs = 86400000;
inline constexpr double kWeekSeconds = 604800.0;
inline constexpr std::int32_t kBeidouWeekOffset = 1356;  // BeiDou week 0 began at GPS week 1356
inline constexpr std::int32_t kGalileoWeekOffset = 1024; // Galileo week 0 began at GPS week 1024
inline constexpr double kBeidouSecondsBehind = 14.0;     // BeiDou time = GPS time - 14 s

// Seconds of GPS time at a calendar time read in the same scale (no leap seconds in between).
double gps_seconds(const EpochTime& t);
// The calendar time of GPS time `seconds` (seconds rounded to the microsecond).
EpochTime gps_calendar(double seconds);
// GPS time of a Unix time (UTC seconds since 1970).
double gps_seconds_of_unix(double unix_seconds);
// GPS - UTC at GPS time `seconds`: 18 s since 2017-01-01, fewer before.
int leap_seconds_at(double gps_seconds);

}  // namespace tessora::rtcm
