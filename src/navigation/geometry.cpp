#include "navigation/geometry.hpp"

#include <cmath>

#include "common/numbers.hpp"

namespace tessora {

namespace {

using namespace orbit;

constexpr double kKeplerWindowDays = 1.0 / 6.0;   // 4 hours
constexpr double kGlonassWindowDays = 1.0 / 24.0; // 1 hour
constexpr double kGlonassMaxSeconds = 7200.0;
constexpr double kGlonassStep = 60.0;
constexpr int kNewtonSteps = 10;
constexpr int kLatitudeSteps = 10;
// The BeiDou GEO orbital plane is referred to a frame tilted by -5 degrees about the X axis.
constexpr double kGeoTilt = -5.0 * kRadPerDeg;

template <typename Rec>
std::optional<std::size_t> choose_record(const std::vector<Rec>& recs, double jd, double window) {
    std::optional<std::size_t> best;
    double best_diff = 0.0;
    for (std::size_t i = 0; i < recs.size(); ++i) {
        const double diff = std::fabs(recs[i].epoch_jd - jd);
        if (diff < window && (!best || diff < best_diff)) {
            best = i;
            best_diff = diff;
        }
    }
    return best;
}

struct State {
    double x, y, z, vx, vy, vz;
};

// Equations of motion of the GLONASS broadcast model in the Earth-fixed frame: central force with
// the J2 term, centrifugal and Coriolis terms, and the broadcast luni-solar acceleration.
inline State derivative(const State& s, double ax, double ay, double az) {
    const double r2 = s.x * s.x + s.y * s.y + s.z * s.z;
    const double r = std::sqrt(r2);
    const double k = -kGmGlonass / (r2 * r);
    const double q = kGlonassJ2Term / r2;
    const double w = 5.0 * (s.z * s.z) / r2;
    State d;
    d.x = s.vx;
    d.y = s.vy;
    d.z = s.vz;
    d.vx = k * s.x * (1.0 + q * (1.0 - w)) + kGlonassOmega2 * s.x + kGlonassTwoOmega * s.vy + ax;
    d.vy = k * s.y * (1.0 + q * (1.0 - w)) + kGlonassOmega2 * s.y - kGlonassTwoOmega * s.vx + ay;
    d.vz = k * s.z * (1.0 + q * (3.0 - w)) + az;
    return d;
}

inline State advance(const State& s, const State& d, double h) {
    return State{s.x + h * d.x, s.y + h * d.y, s.z + h * d.z, s.vx + h * d.vx, s.vy + h * d.vy, s.vz + h * d.vz};
}

// Next step of the integration over dt after `done` seconds: 60 s in the direction of dt, or the
// remainder once it is shorter than that.
inline double next_step(double dt, double done) {
    const double rest = dt - done;
    return std::fabs(rest) < kGlonassStep ? rest : std::copysign(kGlonassStep, dt);
}

// Upper bound of steps: 7200 s / 60 s plus the final short step, with room to spare.
constexpr int kMaxSteps = 200;

}  // namespace

bool is_beidou_geo(std::string_view sat) {
    if (sat.size() != 3 || sat[0] != 'C') return false;
    const unsigned d1 = static_cast<unsigned char>(sat[1]) - '0';
    const unsigned d2 = static_cast<unsigned char>(sat[2]) - '0';
    if (d1 > 9 || d2 > 9) return false;
    const unsigned prn = d1 * 10 + d2;
    return (prn >= 1 && prn <= 5) || (prn >= 59 && prn <= 63);
}

SatelliteOrbit find_satellite(const NavigationData& nav, std::string_view sat) {
    SatelliteOrbit o;
    if (sat.empty()) return o;
    const TextMap<std::vector<KeplerEphemeris>>* map = nullptr;
    switch (sat[0]) {
        case 'C':
            map = &nav.beidou;
            break;
        case 'E':
            map = &nav.galileo;
            break;
        case 'G':
        case 'J':
            map = &nav.gps;
            break;
        case 'R': {
            auto it = nav.glonass.find(sat);
            if (it != nav.glonass.end()) o.glonass = &it->second;
            return o;
        }
        default:
            return o;
    }
    auto it = map->find(sat);
    if (it != map->end()) {
        o.kepler = &it->second;
        o.beidou_geo = is_beidou_geo(sat);
    }
    return o;
}

std::optional<std::size_t> choose_kepler_record(const std::vector<KeplerEphemeris>& recs, double jd) {
    return choose_record(recs, jd, kKeplerWindowDays);
}

std::optional<std::size_t> choose_glonass_record(const std::vector<GlonassEphemeris>& recs, double jd) {
    return choose_record(recs, jd, kGlonassWindowDays);
}

double kepler_time_from_ephemeris(double jd, double toe) {
    const double d = (jd - 0.5) - kGpsEpochJd;
    const std::int32_t week = saturating_cast<std::int32_t>(std::floor(d / 7.0));
    const double tow = (d - 7.0 * static_cast<double>(week)) * 86400.0;
    double tk = tow - toe;
    if (tk > kHalfWeek)
        tk -= kWeek;
    else if (tk < -kHalfWeek)
        tk += kWeek;
    return tk;
}

EccentricAnomaly eccentric_anomaly(double m, double e) {
    // Newton's method from E = M, a fixed number of steps. A step is a pure function of E, so once
    // a step leaves E unchanged (same bits) every later step does too: stopping there gives the
    // result of the full count, and the sine and cosine of that step are those of the result.
    double ea = m;
    double sin_e = std::sin(ea);
    double cos_e = std::cos(ea);
    for (int i = 0; i < kNewtonSteps; ++i) {
        const double next = ea - (ea - e * sin_e - m) / (1.0 - e * cos_e);
        if (next == ea && std::signbit(next) == std::signbit(ea)) break;
        ea = next;
        sin_e = std::sin(ea);
        cos_e = std::cos(ea);
    }
    return EccentricAnomaly{ea, sin_e, cos_e};
}

Ecef kepler_position(const KeplerEphemeris& k, double jd, bool beidou_geo) {
    const double tk = kepler_time_from_ephemeris(jd, k.toe);
    const double a = k.semi_major;
    const double m = k.m0 + k.mean_motion * tk;
    const double e = k.e;

    const EccentricAnomaly ecc = eccentric_anomaly(m, e);
    const double sin_e = ecc.sin_e;
    const double cos_e = ecc.cos_e;

    const double nu = std::atan2(k.sqrt_1me2 * sin_e, cos_e - e);
    const double phi = nu + k.omega;
    const double s2 = std::sin(2.0 * phi);
    const double c2 = std::cos(2.0 * phi);
    const double u = phi + k.cuc * c2 + k.cus * s2;
    const double r = a * (1.0 - e * cos_e) + k.crc * c2 + k.crs * s2;
    const double inc = k.i0 + k.idot * tk + k.cic * c2 + k.cis * s2;

    const double xp = r * std::cos(u);
    const double yp = r * std::sin(u);
    const double cos_i = std::cos(inc);
    const double sin_i = std::sin(inc);

    if (!beidou_geo) {
        const double om = k.omega0 + (k.omega_dot - kOmegaEarth) * tk - kOmegaEarth * k.toe;
        const double cos_om = std::cos(om);
        const double sin_om = std::sin(om);
        return Ecef{xp * cos_om - yp * cos_i * sin_om, xp * sin_om + yp * cos_i * cos_om, yp * sin_i};
    }

    // Geostationary BeiDou: positions in an inertial-like frame (no Earth rotation over tk),
    // then the -5 degree tilt about X and the Earth rotation over tk about Z.
    const double om = k.omega0 + k.omega_dot * tk - kOmegaEarth * k.toe;
    const double cos_om = std::cos(om);
    const double sin_om = std::sin(om);
    const double gx = xp * cos_om - yp * cos_i * sin_om;
    const double gy = xp * sin_om + yp * cos_i * cos_om;
    const double gz = yp * sin_i;
    const double cf = std::cos(kGeoTilt);
    const double sf = std::sin(kGeoTilt);
    const double tx = gx;
    const double ty = cf * gy + sf * gz;
    const double tz = -sf * gy + cf * gz;
    const double psi = kOmegaEarth * tk;
    const double cp = std::cos(psi);
    const double sp = std::sin(psi);
    return Ecef{cp * tx + sp * ty, -sp * tx + cp * ty, tz};
}

int glonass_step_count(double dt) {
    int steps = 0;
    double done = 0.0;
    while (std::fabs(dt) > std::fabs(done) && steps < kMaxSteps) {
        done += next_step(dt, done);
        ++steps;
    }
    return steps;
}

std::optional<Ecef> glonass_position(const GlonassEphemeris& g, double dt) {
    if (std::fabs(dt) > kGlonassMaxSeconds) return std::nullopt;
    if (dt == 0.0) return Ecef{g.x, g.y, g.z};
    State s{g.x, g.y, g.z, g.vx, g.vy, g.vz};
    double done = 0.0;
    for (int steps = 0; std::fabs(dt) > std::fabs(done) && steps < kMaxSteps; ++steps) {
        const double h = next_step(dt, done);
        const State k1 = derivative(s, g.ax, g.ay, g.az);
        const State k2 = derivative(advance(s, k1, h / 2.0), g.ax, g.ay, g.az);
        const State k3 = derivative(advance(s, k2, h / 2.0), g.ax, g.ay, g.az);
        const State k4 = derivative(advance(s, k3, h), g.ax, g.ay, g.az);
        const double h6 = h / 6.0;
        s.x += h6 * (k1.x + 2.0 * k2.x + 2.0 * k3.x + k4.x);
        s.y += h6 * (k1.y + 2.0 * k2.y + 2.0 * k3.y + k4.y);
        s.z += h6 * (k1.z + 2.0 * k2.z + 2.0 * k3.z + k4.z);
        s.vx += h6 * (k1.vx + 2.0 * k2.vx + 2.0 * k3.vx + k4.vx);
        s.vy += h6 * (k1.vy + 2.0 * k2.vy + 2.0 * k3.vy + k4.vy);
        s.vz += h6 * (k1.vz + 2.0 * k2.vz + 2.0 * k3.vz + k4.vz);
        done += h;
    }
    return Ecef{s.x, s.y, s.z};
}

bool plausible_orbit_radius(const Ecef& p) {
    const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) && r >= 20000000.0 &&
           r <= 50000000.0;
}

std::optional<Ecef> satellite_position(const SatelliteOrbit& orbit, double jd) {
    std::optional<Ecef> p;
    if (orbit.kepler) {
        const auto i = choose_kepler_record(*orbit.kepler, jd);
        if (!i) return std::nullopt;
        p = kepler_position((*orbit.kepler)[*i], jd, orbit.beidou_geo);
    } else if (orbit.glonass) {
        const auto i = choose_glonass_record(*orbit.glonass, jd);
        if (!i) return std::nullopt;
        const GlonassEphemeris& g = (*orbit.glonass)[*i];
        p = glonass_position(g, (jd - g.epoch_jd) * 86400.0);
    }
    if (!p || !plausible_orbit_radius(*p)) return std::nullopt;
    return p;
}

std::optional<Ecef> satellite_position(const SatelliteOrbit& orbit, const EpochTime& t) {
    return satellite_position(orbit, julian_date(t));
}

std::optional<Ecef> satellite_position(const NavigationData& nav, std::string_view sat, const EpochTime& t) {
    const SatelliteOrbit orbit = find_satellite(nav, sat);
    if (!orbit) return std::nullopt;
    return satellite_position(orbit, julian_date(t));
}

Geodetic ecef_to_geodetic(double x, double y, double z) {
    const double lon = std::atan2(y, x);
    const double p = std::sqrt(x * x + y * y);
    double lat = std::atan2(z, kWgs84OneMinusE2 * p);
    for (int i = 0; i < kLatitudeSteps; ++i) {
        const double s = std::sin(lat);
        const double n = kWgs84A / std::sqrt(1.0 - kWgs84E2 * (s * s));
        lat = std::atan2(z + n * kWgs84E2 * s, p);
    }
    const double s = std::sin(lat);
    const double n = kWgs84A / std::sqrt(1.0 - kWgs84E2 * (s * s));
    const double c = std::cos(lat);
    const double h = std::fabs(c) > 1e-10 ? p / c - n : std::fabs(z) - n * kWgs84OneMinusE2;
    return Geodetic{lat * kDegPerRad, lon * kDegPerRad, h};
}

Receiver prepare_receiver(const Ecef& position) {
    const Geodetic g = ecef_to_geodetic(position[0], position[1], position[2]);
    const double lat = g.lat_deg * kRadPerDeg;
    const double lon = g.lon_deg * kRadPerDeg;
    return Receiver{position, std::sin(lat), std::cos(lat), std::sin(lon), std::cos(lon)};
}

LookAngles look_angles(const Receiver& rx, const Ecef& sat) {
    const double dx = sat[0] - rx.position[0];
    const double dy = sat[1] - rx.position[1];
    const double dz = sat[2] - rx.position[2];
    const double east = -rx.sin_lon * dx + rx.cos_lon * dy;
    const double north = -rx.sin_lat * rx.cos_lon * dx - rx.sin_lat * rx.sin_lon * dy + rx.cos_lat * dz;
    const double up = rx.cos_lat * rx.cos_lon * dx + rx.cos_lat * rx.sin_lon * dy + rx.sin_lat * dz;
    double az = std::atan2(east, north) * kDegPerRad;
    if (az < 0.0) az += 360.0;
    const double el = std::atan2(up, std::sqrt(east * east + north * north)) * kDegPerRad;
    return LookAngles{az, el};
}

LookAngles look_angles(const Ecef& receiver, const Ecef& satellite) {
    return look_angles(prepare_receiver(receiver), satellite);
}

}  // namespace tessora
