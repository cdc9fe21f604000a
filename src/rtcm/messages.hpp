// What the message decoders give: each decoder reads one payload into one of these values, or
// nothing when the payload does not hold what the message claims. Nothing here touches a record;
// the assembly (assemble.hpp) and the decoder (rtcm.hpp) commit a decoded message whole.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtcm/signals.hpp"

namespace tessora::rtcm {

inline constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();

// One signal of one satellite in an observation message. Ranges are in metres; the phase becomes
// cycles, and the range rate a Doppler shift, once the carrier is known (for GLONASS, the
// frequency channel).
struct ObsCell {
    std::string sat;             // "G05"
    char code[3] = {0, 0, 0};    // band and attribute, "1C"
    double pseudorange = kAbsent;  // m
    double phase_range = kAbsent;  // m
    double range_rate = kAbsent;   // m/s, positive when the satellite recedes
    double cnr = kAbsent;          // dB-Hz
    double lock_ms = -1.0;         // minimum lock time the indicator guarantees; -1 when none given
    bool half_cycle = false;       // half-cycle ambiguity not resolved
    int channel = kNoChannel;      // GLONASS frequency channel carried by the message
};

// How an observation message gives its epoch.
enum class EpochClock : std::uint8_t {
    week_ms,         // milliseconds of the week in the system's own time (GPS, Galileo, BeiDou, ...)
    glonass_day_ms,  // GLONASS: day of week (0 = Sunday, 7 = unknown) and ms of day in Moscow time
    glonass_ms,      // GLONASS legacy messages: ms of day in Moscow time only
};

struct ObsMessage {
    int type = 0;
    char system = 0;
    int station = 0;
    EpochClock clock = EpochClock::week_ms;
    std::uint32_t time_ms = 0;  // of the week or of the day, as `clock` says
    unsigned day = 7;           // GLONASS day of week
    bool more = false;          // more messages of this epoch follow
    std::vector<ObsCell> cells;
};

// MSM4..MSM7 (1074..1077, ..., 1134..1137); nullopt when the payload is malformed (masks that
// claim more cells than 64, fields running past the payload) or holds an MSM1..3.
std::optional<ObsMessage> decode_msm(std::string_view payload);
// The same into `out`, whose cell storage is reused; false (and no cells) when malformed.
bool decode_msm(std::string_view payload, ObsMessage& out);

// Legacy observations with signal strength: 1002, 1004 (GPS), 1010, 1012 (GLONASS).
std::optional<ObsMessage> decode_legacy(std::string_view payload);

// Station facts of 1005/1006 (antenna reference point) and 1007/1008/1033 (descriptors).
struct StationMessage {
    int station = 0;
    std::optional<std::array<double, 3>> arp;  // ECEF, m
    std::optional<double> antenna_height;      // 1006: ARP above the marker, m
    std::optional<std::string> antenna;        // descriptor
    std::optional<std::string> antenna_serial;
    std::optional<std::string> receiver;       // 1033
    std::optional<std::string> firmware;
    std::optional<std::string> receiver_serial;
};
std::optional<StationMessage> decode_station(std::string_view payload);

// A broadcast ephemeris as the message carries it: the Keplerian fields already in RINEX units
// (seconds, metres, radians), the week as transmitted (10 bits of GPS/QZSS, 12 of Galileo, 13 of
// BeiDou), and for GLONASS the times of day in Moscow time.
struct KeplerMessage {
    char system = 'G';
    unsigned prn = 0;
    unsigned week = 0;     // as transmitted
    unsigned week_bits = 10;
    double toc = 0.0;      // s of week (system time)
    double af0 = 0.0, af1 = 0.0, af2 = 0.0;
    double iode = 0.0, crs = 0.0, delta_n = 0.0, m0 = 0.0;
    double cuc = 0.0, e = 0.0, cus = 0.0, sqrt_a = 0.0;
    double toe = 0.0, cic = 0.0, omega0 = 0.0, cis = 0.0;
    double i0 = 0.0, crc = 0.0, omega = 0.0, omega_dot = 0.0;
    double idot = 0.0;
};

struct GlonassMessage {
    unsigned slot = 0;
    int channel = 0;
    double tk = 0.0;  // frame time, s of day (Moscow)
    double tb = 0.0;  // reference time, s of day (Moscow)
    double x = 0.0, vx = 0.0, ax = 0.0;  // m, m/s, m/s^2
    double y = 0.0, vy = 0.0, ay = 0.0;
    double z = 0.0, vz = 0.0, az = 0.0;
    double gamma = 0.0;  // relative frequency bias
    double tau = 0.0;    // clock bias (s), subtracted from the satellite time
};

// 1019, 1042, 1044, 1045, 1046.
std::optional<KeplerMessage> decode_kepler(std::string_view payload);
// 1020.
std::optional<GlonassMessage> decode_glonass(std::string_view payload);

}  // namespace tessora::rtcm

#include "navigation/nav_data.hpp"

namespace tessora::rtcm {

// The record the RINEX reader makes of the same ephemeris, prepare()d. `week` is the full week in
// the numbering RINEX writes for the system (GPS weeks for GPS, QZSS and Galileo, BeiDou weeks).
KeplerEphemeris to_kepler(const KeplerMessage& m, std::int32_t week);

// The GLONASS record, its reference time as a UTC epoch on the day that puts it nearest to the
// GPS time `near_gps` (when the message arrived), with `leap` seconds of GPS - UTC.
GlonassEphemeris to_glonass(const GlonassMessage& m, double near_gps, int leap);

}  // namespace tessora::rtcm
