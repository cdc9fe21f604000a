// In-memory form of one RINEX broadcast navigation file: Keplerian ephemerides of GPS (with QZSS),
// Galileo and BeiDou, and state-vector ephemerides of GLONASS, grouped per satellite identifier.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/text.hpp"
#include "rinex/epoch_time.hpp"

namespace tessora {

// Constants of the broadcast orbit models.
namespace orbit {
inline constexpr double kGmGps = 3.986005e14;            // m^3/s^2, also QZSS, Galileo, BeiDou
inline constexpr double kOmegaEarth = 7.2921151467e-5;   // rad/s, Keplerian propagation
inline constexpr double kGmGlonass = 3.9860044e14;       // m^3/s^2
inline constexpr double kGlonassJ2Term = 66062825163.19413;  // 1.5 * J2 * ae^2 (m^2)
inline constexpr double kGlonassOmega2 = 5.3174941173225e-9; // (7.292115e-5 rad/s)^2
inline constexpr double kGlonassTwoOmega = 1.458423e-4;      // 2 * 7.292115e-5 rad/s
inline constexpr double kGpsEpochJd = 2444244.5;         // 1980-01-06 00:00
inline constexpr double kWeek = 604800.0;
inline constexpr double kHalfWeek = 302400.0;
inline constexpr double kWgs84A = 6378137.0;
inline constexpr double kWgs84E2 = 0.0066943799901413165;
inline constexpr double kWgs84OneMinusE2 = 0.9933056200098587;
inline constexpr double kDegPerRad = 57.29577951308232;
inline constexpr double kRadPerDeg = 0.017453292519943295;
}  // namespace orbit

// One broadcast ephemeris of GPS, QZSS, Galileo or BeiDou (units of the RINEX file).
struct KeplerEphemeris {
    EpochTime epoch;  // clock reference time (line 1)
    double af0 = 0.0, af1 = 0.0, af2 = 0.0;
    double iode = 0.0, crs = 0.0, delta_n = 0.0, m0 = 0.0;
    double cuc = 0.0, e = 0.0, cus = 0.0, sqrt_a = 0.0;
    double toe = 0.0, cic = 0.0, omega0 = 0.0, cis = 0.0;
    double i0 = 0.0, crc = 0.0, omega = 0.0, omega_dot = 0.0;
    double idot = 0.0;
    std::uint32_t prn = 0;
    std::int32_t week = 0;
    char system = 'G';

    // Values that depend on the record alone, computed once when the file is read so that the
    // propagation does not repeat them for every epoch.
    double epoch_jd = 0.0;     // julian_date(epoch)
    double semi_major = 0.0;   // A = sqrt_a^2
    double mean_motion = 0.0;  // sqrt(GM / A^3) + delta_n
    double sqrt_1me2 = 0.0;    // sqrt(1 - e^2)

    // Fills the precomputed values from the broadcast fields.
    void prepare();
};

// One GLONASS broadcast record; positions, velocities and accelerations in metres (file km * 1000).
struct GlonassEphemeris {
    EpochTime epoch;
    double clock_bias = 0.0;
    double relative_frequency_bias = 0.0;
    double message_frame_time = 0.0;
    double x = 0.0, vx = 0.0, ax = 0.0;
    double y = 0.0, vy = 0.0, ay = 0.0;
    double z = 0.0, vz = 0.0, az = 0.0;
    std::uint32_t slot = 0;
    std::int32_t frequency_channel = 0;

    double epoch_jd = 0.0;  // julian_date(epoch), computed when the file is read
};

struct NavigationData {
    TextMap<std::vector<KeplerEphemeris>> gps;      // "G" and "J" (QZSS) records
    TextMap<std::vector<KeplerEphemeris>> galileo;  // "E"
    TextMap<std::vector<KeplerEphemeris>> beidou;   // "C"
    TextMap<std::vector<GlonassEphemeris>> glonass; // "R"
    TextMap<std::int32_t> glonass_channels;         // non-zero frequency channels only

    std::size_t satellite_count() const { return gps.size() + galileo.size() + beidou.size() + glonass.size(); }
    bool has_data() const { return !gps.empty() || !galileo.empty() || !beidou.empty() || !glonass.empty(); }
};

// "NavigationData(GPS=31, GLONASS=0, Galileo=0, BeiDou=0)"
std::string navigation_repr(const NavigationData& nav);

}  // namespace tessora
