// Satellite positions from broadcast ephemerides, WGS 84 geodetic conversion and look angles.
//
// Positions are evaluated at the epoch as written in the observation file, taken as GPS time; no
// signal travel time, clock or relativistic correction is applied.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "navigation/nav_data.hpp"
#include "rinex/epoch_time.hpp"

namespace tessora {

using Ecef = std::array<double, 3>;

struct Geodetic {
    double lat_deg = 0.0;
    double lon_deg = 0.0;
    double height = 0.0;
};

struct LookAngles {
    double azimuth = 0.0;    // degrees in [0, 360)
    double elevation = 0.0;  // degrees
};

// The records of one satellite, looked up once and then evaluated at many epochs. Points into
// the NavigationData it came from, which must outlive it.
struct SatelliteOrbit {
    const std::vector<KeplerEphemeris>* kepler = nullptr;   // C, E, G, J
    const std::vector<GlonassEphemeris>* glonass = nullptr; // R
    bool beidou_geo = false;  // C01-C05, C59-C63: geostationary BeiDou orbit model

    explicit operator bool() const { return kepler != nullptr || glonass != nullptr; }
};

// Lookup by identifier ("G05", "R21", ...): the map is chosen by the first character; an empty
// handle when the system has no ephemeris map or the satellite no records.
SatelliteOrbit find_satellite(const NavigationData& nav, std::string_view sat);

// True for the BeiDou identifiers of geostationary satellites (C01-C05, C59-C63).
bool is_beidou_geo(std::string_view sat);

// ECEF position of a satellite at an epoch. `jd` must be julian_date(t); the overload without it
// computes it. No position when no record lies close enough in time (Keplerian 4 h, GLONASS 1 h,
// strictly), or when the result is not finite or its distance from the Earth's centre is not in
// 20000 km .. 50000 km.
std::optional<Ecef> satellite_position(const SatelliteOrbit& orbit, double jd);
std::optional<Ecef> satellite_position(const SatelliteOrbit& orbit, const EpochTime& t);
std::optional<Ecef> satellite_position(const NavigationData& nav, std::string_view sat, const EpochTime& t);

// Index of the record chosen for an epoch: the nearest one strictly inside `window_days`, ties to
// the earliest in the list; nullopt when none qualifies.
std::optional<std::size_t> choose_kepler_record(const std::vector<KeplerEphemeris>& recs, double jd);
std::optional<std::size_t> choose_glonass_record(const std::vector<GlonassEphemeris>& recs, double jd);

// Propagation of one record, without record choice and without the plausibility test.
// Time from ephemeris (s) at Julian date `jd`, wrapped into +-half a week.
double kepler_time_from_ephemeris(double jd, double toe);
Ecef kepler_position(const KeplerEphemeris& k, double jd, bool beidou_geo);
// Eccentric anomaly after exactly ten Newton steps from E = M, with its sine and cosine.
struct EccentricAnomaly {
    double e_anom, sin_e, cos_e;
};
EccentricAnomaly eccentric_anomaly(double mean_anomaly, double eccentricity);
// GLONASS state integration over `dt` seconds from the record's epoch; nullopt beyond 7200 s.
std::optional<Ecef> glonass_position(const GlonassEphemeris& g, double dt);
// Number of Runge-Kutta steps the integration over `dt` seconds takes (60 s steps and a shorter
// last one).
int glonass_step_count(double dt);

// True when the point lies 20000 km .. 50000 km (inclusive) from the Earth's centre; false for
// non-finite points.
bool plausible_orbit_radius(const Ecef& p);

// WGS 84 latitude and longitude (degrees) and ellipsoidal height (m) of an ECEF point.
Geodetic ecef_to_geodetic(double x, double y, double z);

// A receiver prepared for many look-angle evaluations: its geodetic angles' sines and cosines are
// computed once.
struct Receiver {
    Ecef position{};
    double sin_lat = 0.0, cos_lat = 0.0, sin_lon = 0.0, cos_lon = 0.0;
};
Receiver prepare_receiver(const Ecef& position);

// Azimuth (clockwise from north, [0, 360)) and elevation of a satellite seen from a receiver.
LookAngles look_angles(const Receiver& receiver, const Ecef& satellite);
LookAngles look_angles(const Ecef& receiver, const Ecef& satellite);

}  // namespace tessora
