// Satellite positions, geodetic conversion and look angles. Expectations come from independent
// formulations (rotation matrices, a fine-step integration, the forward geodetic formula) and from
// the physics of the real broadcast files (orbit radii, agreement of consecutive ephemerides).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "navigation/geometry.hpp"
#include "navigation/nav_reader.hpp"

using namespace tessora;

namespace {

const std::filesystem::path kData = TESSORA_DATA_DIR;
constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;

std::optional<NavigationData> load(const char* rel) {
    std::ifstream f(kData / rel, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    auto r = read_navigation_content(s.str());
    if (!r.ok()) return std::nullopt;
    return std::move(r.value());
}

double norm(const Ecef& p) { return std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]); }
double dist(const Ecef& a, const Ecef& b) { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); }

using Mat = std::array<std::array<double, 3>, 3>;
Ecef mul(const Mat& m, const Ecef& v) {
    Ecef r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}
// Frame rotations (passive): R1 about X, R3 about Z.
Mat r1(double a) { return Mat{{{1, 0, 0}, {0, std::cos(a), std::sin(a)}, {0, -std::sin(a), std::cos(a)}}}; }
Mat r3(double a) { return Mat{{{std::cos(a), std::sin(a), 0}, {-std::sin(a), std::cos(a), 0}, {0, 0, 1}}}; }

// Broadcast orbit after the interface documents of the Keplerian systems, written with rotation
// matrices and an iterate-to-convergence Kepler solution.
Ecef reference_kepler(const KeplerEphemeris& k, double tk, bool geo) {
    const double mu = 3.986005e14, we = 7.2921151467e-5;
    const double a = k.sqrt_a * k.sqrt_a;
    const double n = std::sqrt(mu / (a * a * a)) + k.delta_n;
    const double m = k.m0 + n * tk;
    double e_anom = m;
    for (int i = 0; i < 100; ++i) {
        const double next = m + k.e * std::sin(e_anom);
        if (std::fabs(next - e_anom) < 1e-15) break;
        e_anom = next;
    }
    const double v = 2.0 * std::atan(std::sqrt((1 + k.e) / (1 - k.e)) * std::tan(e_anom / 2));
    const double phi = v + k.omega;
    const double u = phi + k.cus * std::sin(2 * phi) + k.cuc * std::cos(2 * phi);
    const double r = a * (1 - k.e * std::cos(e_anom)) + k.crs * std::sin(2 * phi) + k.crc * std::cos(2 * phi);
    const double i = k.i0 + k.idot * tk + k.cis * std::sin(2 * phi) + k.cic * std::cos(2 * phi);
    const Ecef in_plane{r * std::cos(u), r * std::sin(u), 0.0};
    if (!geo) {
        const double node = k.omega0 + (k.omega_dot - we) * tk - we * k.toe;
        return mul(r3(-node), mul(r1(-i), in_plane));
    }
    const double node = k.omega0 + k.omega_dot * tk - we * k.toe;
    const Ecef g = mul(r3(-node), mul(r1(-i), in_plane));
    const Mat rx{{{1, 0, 0}, {0, std::cos(-5 * kRad), std::sin(-5 * kRad)}, {0, -std::sin(-5 * kRad), std::cos(-5 * kRad)}}};
    return mul(r3(we * tk), mul(rx, g));
}

// GLONASS equations of motion in the interface-document form (mu, J2, ae, omega), integrated with
// classical Runge-Kutta at a fine fixed step.
Ecef reference_glonass(const GlonassEphemeris& g, double dt, double step) {
    const double mu = 398600.44e9, j2 = 1.0826257e-3, ae = 6378136.0, w = 7.292115e-5;
    using S = std::array<double, 6>;
    auto f = [&](const S& s) {
        const double r = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        const double c = 1.5 * j2 * mu * ae * ae / std::pow(r, 5);
        const double z2 = 5 * s[2] * s[2] / (r * r);
        S d;
        d[0] = s[3];
        d[1] = s[4];
        d[2] = s[5];
        d[3] = -mu / std::pow(r, 3) * s[0] - c * s[0] * (1 - z2) + w * w * s[0] + 2 * w * s[4] + g.ax;
        d[4] = -mu / std::pow(r, 3) * s[1] - c * s[1] * (1 - z2) + w * w * s[1] - 2 * w * s[3] + g.ay;
        d[5] = -mu / std::pow(r, 3) * s[2] - c * s[2] * (3 - z2) + g.az;
        return d;
    };
    S s{g.x, g.y, g.z, g.vx, g.vy, g.vz};
    const int n = static_cast<int>(std::lround(std::fabs(dt) / step));
    const double h = dt / n;
    for (int k = 0; k < n; ++k) {
        auto add = [](const S& a, const S& b, double c) {
            S r;
            for (int i = 0; i < 6; ++i) r[i] = a[i] + c * b[i];
            return r;
        };
        const S k1 = f(s), k2 = f(add(s, k1, h / 2)), k3 = f(add(s, k2, h / 2)), k4 = f(add(s, k3, h));
        for (int i = 0; i < 6; ++i) s[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
    }
    return Ecef{s[0], s[1], s[2]};
}

// A GPS ephemeris (values of a real broadcast record) at the given epoch.
KeplerEphemeris gps_record(EpochTime epoch, double toe) {
    KeplerEphemeris k;
    k.epoch = epoch;
    k.crs = 33.84375;
    k.delta_n = 4.106242470052e-09;
    k.m0 = -2.157708626665;
    k.cuc = 1.812353730202e-06;
    k.e = 2.041313482914e-02;
    k.cus = 9.221956133842e-06;
    k.sqrt_a = 5.153679471970e+03;
    k.toe = toe;
    k.cic = 3.594905138016e-07;
    k.omega0 = 2.277502707678;
    k.cis = 2.756714820862e-07;
    k.i0 = 0.9659928182326;
    k.crc = 203.34375;
    k.omega = -1.414485730254;
    k.omega_dot = -7.679605600684e-09;
    k.idot = 5.857386840816e-11;
    k.prepare();
    return k;
}

GlonassEphemeris glonass_record(EpochTime epoch) {
    GlonassEphemeris g;
    g.epoch = epoch;
    g.x = -11588238.28125;
    g.vx = -567.1300888062;
    g.ax = 0.0;
    g.y = -11089932.61719;
    g.vy = -2651.433944702;
    g.ay = 9.313225746155e-07;
    g.z = 19864268.55469;
    g.vz = -1820.190429688;
    g.az = -2.793967723846e-06;
    g.epoch_jd = julian_date(epoch);
    return g;
}

}  // namespace

TEST(KeplerOrbit, MatchesTheRotationMatrixFormulation) {
    const KeplerEphemeris k = gps_record({2022, 6, 8, 10, 0, 0.0}, 295200.0);
    for (double offset : {-14000.0, -3600.0, 0.0, 1234.5, 7200.0, 14000.0}) {
        const double jd = k.epoch_jd + offset / 86400.0;
        const double tk = kepler_time_from_ephemeris(jd, k.toe);
        EXPECT_NEAR(tk, offset, 1e-3);
        EXPECT_LT(dist(kepler_position(k, jd, false), reference_kepler(k, tk, false)), 0.01) << offset;
    }
}

// The Kepler solution may stop early once a Newton step no longer changes E; the result must be
// bit for bit that of exactly ten steps. Checked on the records of a real file (including the
// eccentric Galileo orbits) and on eccentricities up to 0.9.
TEST(KeplerOrbit, EarlyStopEqualsTenNewtonSteps) {
    auto ten_steps = [](double m, double e) {
        double ea = m;
        for (int i = 0; i < 10; ++i) ea = ea - (ea - e * std::sin(ea) - m) / (1.0 - e * std::cos(ea));
        return ea;
    };
    auto check = [&](double m, double e) {
        const EccentricAnomaly r = eccentric_anomaly(m, e);
        const double want = ten_steps(m, e), s = std::sin(want), c = std::cos(want);
        ASSERT_EQ(std::memcmp(&r.e_anom, &want, sizeof want), 0) << m << " " << e;
        ASSERT_EQ(std::memcmp(&r.sin_e, &s, sizeof s), 0) << m << " " << e;
        ASSERT_EQ(std::memcmp(&r.cos_e, &c, sizeof c), 0) << m << " " << e;
    };
    for (double e : {0.0, 1e-4, 0.02, 0.075, 0.17, 0.5, 0.9})
        for (double m = -40.0; m <= 40.0; m += 0.0137) check(m, e);
    check(0.0, 0.01);
    check(-0.0, 0.01);
    check(std::nan(""), 0.01);
    const auto nav = load("rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx");
    if (!nav) return;
    for (const auto* map : {&nav->gps, &nav->galileo, &nav->beidou})
        for (const auto& [id, list] : *map)
            for (const KeplerEphemeris& k : list)
                for (double minutes = -235; minutes <= 235; minutes += 47) {
                    const double tk = kepler_time_from_ephemeris(k.epoch_jd + minutes / 1440, k.toe);
                    check(k.m0 + k.mean_motion * tk, k.e);
                }
}

TEST(KeplerOrbit, WeekWrapGivesPositiveTk) {
    // toe Saturday 22:00 (597600 s of week); the epoch is the following Sunday 00:30.
    const EpochTime sunday{2024, 3, 10, 0, 30, 0.0};
    const double jd = julian_date(sunday);
    EXPECT_NEAR(kepler_time_from_ephemeris(jd, 597600.0), 9000.0, 1e-3);
    // And the other way round: a Sunday 01:00 toe seen from Saturday 23:00 is 7200 s before it.
    EXPECT_NEAR(kepler_time_from_ephemeris(julian_date({2024, 3, 9, 23, 0, 0.0}), 3600.0), -7200.0, 1e-3);

    const KeplerEphemeris k = gps_record({2024, 3, 9, 22, 0, 0.0}, 597600.0);
    const auto p = satellite_position(SatelliteOrbit{nullptr, nullptr, false}, jd);
    EXPECT_FALSE(p.has_value());
    std::vector<KeplerEphemeris> list{k};
    const auto q = satellite_position(SatelliteOrbit{&list, nullptr, false}, sunday);
    ASSERT_TRUE(q.has_value());
    EXPECT_LT(dist(*q, reference_kepler(k, 9000.0, false)), 1.0);
}

TEST(KeplerOrbit, RecordChoiceWindowAndTies) {
    std::vector<KeplerEphemeris> list{gps_record({2024, 3, 5, 13, 0, 0.0}, 302400.0 + 46800.0),
                                      gps_record({2024, 3, 5, 11, 0, 0.0}, 302400.0 + 39600.0)};
    // Equally far from both (noon is exact in Julian days, and 11:00 / 13:00 lie symmetric about
    // it): the one earlier in the list wins, here the later epoch.
    EXPECT_EQ(choose_kepler_record(list, julian_date({2024, 3, 5, 12, 0, 0.0})), 0u);
    std::swap(list[0], list[1]);
    EXPECT_EQ(choose_kepler_record(list, julian_date({2024, 3, 5, 12, 0, 0.0})), 0u);
    EXPECT_EQ(list[0].epoch.hour, 11u);
    // Otherwise the nearest.
    EXPECT_EQ(choose_kepler_record(list, julian_date({2024, 3, 5, 12, 10, 0.0})), 1u);
    EXPECT_EQ(choose_kepler_record(list, julian_date({2024, 3, 5, 11, 50, 0.0})), 0u);
    // 3 h 59 min before the earliest record: chosen; beyond 4 h: none.
    EXPECT_EQ(choose_kepler_record(list, julian_date({2024, 3, 5, 7, 1, 0.0})), 0u);
    EXPECT_FALSE(choose_kepler_record(list, julian_date({2024, 3, 5, 6, 59, 59.0})).has_value());
    EXPECT_FALSE(choose_kepler_record(list, julian_date({2024, 3, 5, 17, 0, 1.0})).has_value());
    EXPECT_EQ(choose_kepler_record(list, julian_date({2024, 3, 5, 16, 59, 0.0})), 1u);
    EXPECT_FALSE(choose_kepler_record({}, julian_date({2024, 3, 5, 12, 0, 0.0})).has_value());

    std::vector<GlonassEphemeris> glo{glonass_record({2024, 3, 5, 12, 15, 0.0}), glonass_record({2024, 3, 5, 11, 45, 0.0})};
    EXPECT_EQ(choose_glonass_record(glo, julian_date({2024, 3, 5, 12, 0, 0.0})), 0u);
    EXPECT_EQ(choose_glonass_record(glo, julian_date({2024, 3, 5, 11, 55, 0.0})), 1u);
    EXPECT_EQ(choose_glonass_record(glo, julian_date({2024, 3, 5, 10, 46, 0.0})), 1u);
    EXPECT_FALSE(choose_glonass_record(glo, julian_date({2024, 3, 5, 10, 44, 59.0})).has_value());
    EXPECT_FALSE(choose_glonass_record(glo, julian_date({2024, 3, 5, 13, 15, 1.0})).has_value());
}

TEST(GlonassOrbit, StepRuleAndIntegration) {
    EXPECT_EQ(glonass_step_count(0.0), 0);
    EXPECT_EQ(glonass_step_count(900.0), 15);   // 15 steps of 60 s
    EXPECT_EQ(glonass_step_count(90.0), 2);     // 60 s and 30 s
    EXPECT_EQ(glonass_step_count(-90.0), 2);
    EXPECT_EQ(glonass_step_count(30.0), 1);
    EXPECT_EQ(glonass_step_count(60.5), 2);
    EXPECT_EQ(glonass_step_count(7200.0), 120);

    const GlonassEphemeris g = glonass_record({2022, 6, 8, 9, 45, 0.0});
    // Exactly at the record's epoch: the stored position itself.
    const Ecef at = *glonass_position(g, 0.0);
    EXPECT_EQ(at, (Ecef{g.x, g.y, g.z}));
    for (double dt : {90.0, -90.0, 900.0, -1800.0, 3599.0}) {
        const auto p = glonass_position(g, dt);
        ASSERT_TRUE(p.has_value());
        EXPECT_LT(dist(*p, reference_glonass(g, dt, 1.0)), 0.05) << dt;
        // The satellite has really moved (about 3.9 km/s).
        EXPECT_GT(dist(*p, at), 3000.0 * std::fabs(dt)) << dt;
    }
    EXPECT_FALSE(glonass_position(g, 7200.5).has_value());

    // Through the record choice: the epoch of the record returns its position unchanged.
    std::vector<GlonassEphemeris> list{g};
    const auto q = satellite_position(SatelliteOrbit{nullptr, &list, false}, g.epoch);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(*q, at);
}

TEST(SatellitePosition, IdentifiersAndImplausibleResults) {
    NavigationData nav;
    KeplerEphemeris k = gps_record({2022, 6, 8, 10, 0, 0.0}, 295200.0);
    nav.gps["G02"].push_back(k);
    nav.gps["J01"].push_back(k);
    nav.galileo["E05"].push_back(k);
    nav.beidou["C20"].push_back(k);
    const EpochTime t{2022, 6, 8, 10, 30, 0.0};
    for (const char* id : {"G02", "J01", "E05", "C20"}) EXPECT_TRUE(satellite_position(nav, id, t).has_value()) << id;
    for (const char* id : {"S20", "I01", "g02", "G2", "G03", "", "R01", "E5"})
        EXPECT_FALSE(satellite_position(nav, id, t).has_value()) << id;

    // Orbits that are not finite or not in the 20000-50000 km shell give no position.
    KeplerEphemeris zero = k;
    zero.sqrt_a = 0.0;
    zero.prepare();
    KeplerEphemeris low = k;
    low.sqrt_a = 3000.0;  // 9000 km
    low.prepare();
    KeplerEphemeris high = k;
    high.sqrt_a = 7100.0;  // 50410 km
    high.e = 0.0;
    high.prepare();
    KeplerEphemeris nan = k;
    nan.m0 = std::nan("");
    nan.prepare();
    for (const KeplerEphemeris& bad : {zero, low, high, nan}) {
        std::vector<KeplerEphemeris> list{bad};
        EXPECT_FALSE(satellite_position(SatelliteOrbit{&list, nullptr, false}, t).has_value()) << bad.sqrt_a;
    }
    GlonassEphemeris g = glonass_record({2022, 6, 8, 10, 0, 0.0});
    g.x = g.y = g.z = 0.0;
    std::vector<GlonassEphemeris> glo{g};
    EXPECT_FALSE(satellite_position(SatelliteOrbit{nullptr, &glo, false}, g.epoch).has_value());

    EXPECT_TRUE(plausible_orbit_radius({20000000.0, 0.0, 0.0}));
    EXPECT_TRUE(plausible_orbit_radius({0.0, 0.0, -50000000.0}));
    EXPECT_FALSE(plausible_orbit_radius({19999999.0, 0.0, 0.0}));
    EXPECT_FALSE(plausible_orbit_radius({50000001.0, 0.0, 0.0}));
    EXPECT_FALSE(plausible_orbit_radius({INFINITY, 0.0, 0.0}));
    EXPECT_FALSE(plausible_orbit_radius({1e200, 1e200, 0.0}));
}

TEST(Geodetic, RoundTripWithTheForwardFormula) {
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    struct P {
        double lat, lon, h;
    };
    for (const P& p : {P{0, 0, 0}, P{59.91, 10.75, 25.0}, P{-33.87, 151.21, 58.0}, P{35.68, -139.69, -20.0},
                       P{-89.5, -45.0, 3000.0}, P{12.0, 179.9, 20200000.0}, P{-80.0, -179.9, 35786000.0}}) {
        const double n = a / std::sqrt(1 - e2 * std::sin(p.lat * kRad) * std::sin(p.lat * kRad));
        const double x = (n + p.h) * std::cos(p.lat * kRad) * std::cos(p.lon * kRad);
        const double y = (n + p.h) * std::cos(p.lat * kRad) * std::sin(p.lon * kRad);
        const double z = (n * (1 - e2) + p.h) * std::sin(p.lat * kRad);
        const Geodetic g = ecef_to_geodetic(x, y, z);
        EXPECT_NEAR(g.lat_deg, p.lat, 1e-9) << p.lat;
        EXPECT_NEAR(g.lon_deg, p.lon, 1e-9) << p.lon;
        EXPECT_NEAR(g.height, p.h, 1e-3) << p.h;
    }
    // At the poles the height is measured along the axis: |z| - b.
    const double b = a * (1 - f);
    for (double sign : {1.0, -1.0}) {
        const Geodetic g = ecef_to_geodetic(0.0, 0.0, sign * (b + 100.0));
        EXPECT_NEAR(g.lat_deg, sign * 90.0, 1e-12);
        EXPECT_NEAR(g.height, 100.0, 1e-6);
    }
}

TEST(LookAngles, CardinalDirectionsAndZenith) {
    const double a = 6378137.0;
    const Ecef rx{a, 0.0, 0.0};  // equator, Greenwich meridian; east is +y, north is +z
    auto check = [&](Ecef sat, double az, double el) {
        const LookAngles la = look_angles(rx, sat);
        EXPECT_NEAR(la.azimuth, az, 1e-9);
        EXPECT_NEAR(la.elevation, el, 1e-9);
        const LookAngles lp = look_angles(prepare_receiver(rx), sat);
        EXPECT_EQ(lp.azimuth, la.azimuth);
        EXPECT_EQ(lp.elevation, la.elevation);
    };
    check({a, 0.0, 1e7}, 0.0, 0.0);      // due north on the horizon
    check({a, 1e7, 0.0}, 90.0, 0.0);     // east
    check({a, 0.0, -1e7}, 180.0, 0.0);   // south
    check({a, -1e7, 0.0}, 270.0, 0.0);   // west: 270, never -90
    check({a + 1e7, -1e7, 0.0}, 270.0, 45.0);
    check({a + 2e7, 0.0, 0.0}, 0.0, 90.0);

    // A receiver on the 90 E meridian: local east is -x and north is (0, -sin lat, cos lat).
    const Geodetic probe = ecef_to_geodetic(0.0, 4510000.0, 4480000.0);
    const Receiver r = prepare_receiver({0.0, 4510000.0, 4480000.0});
    const double cl = std::cos(probe.lat_deg * kRad), sl = std::sin(probe.lat_deg * kRad);
    const Ecef toward_ne{-1e6 / std::sqrt(2.0), (-sl * 1e6 / std::sqrt(2.0)), cl * 1e6 / std::sqrt(2.0)};
    const LookAngles la = look_angles(r, {toward_ne[0], 4510000.0 + toward_ne[1], 4480000.0 + toward_ne[2]});
    EXPECT_NEAR(la.azimuth, 45.0, 1e-9);
    EXPECT_NEAR(la.elevation, 0.0, 1e-9);
}

namespace {

struct Band {
    double lo, hi;  // km
};

// Orbit radii of every ephemeris over +-2 h around its epoch, per orbit class.
void check_radii(const NavigationData& nav) {
    auto kepler_band = [](const std::string& id, const KeplerEphemeris& k) -> Band {
        const double a = k.sqrt_a * k.sqrt_a / 1000.0;
        switch (id[0]) {
            case 'G':
                return {25800, 27400};
            case 'J':
                return {38500, 46000};
            case 'E':
                return k.e > 0.1 ? Band{23000, 33000} : Band{29450, 29750};  // E14/E18 eccentric orbits
            default:
                return a > 35000 ? Band{41600, 42700} : Band{27750, 28050};  // GEO/IGSO or MEO
        }
    };
    for (const auto* map : {&nav.gps, &nav.galileo, &nav.beidou})
        for (const auto& [id, list] : *map) {
            const SatelliteOrbit orbit = find_satellite(nav, id);
            ASSERT_TRUE(orbit);
            for (const KeplerEphemeris& k : list)
                for (double h = -2; h <= 2; h += 0.5) {
                    const auto p = satellite_position(orbit, k.epoch_jd + h / 24);
                    ASSERT_TRUE(p.has_value()) << id;
                    const Band b = kepler_band(id, k);
                    EXPECT_GE(norm(*p) / 1000, b.lo) << id;
                    EXPECT_LE(norm(*p) / 1000, b.hi) << id;
                }
        }
    for (const auto& [id, list] : nav.glonass) {
        const SatelliteOrbit orbit = find_satellite(nav, id);
        for (const GlonassEphemeris& g : list)
            for (double m = -50; m <= 50; m += 10) {
                const auto p = satellite_position(orbit, g.epoch_jd + m / 1440);
                ASSERT_TRUE(p.has_value()) << id;
                EXPECT_NEAR(norm(*p) / 1000, 25508, 150) << id;
            }
    }
}

// Consecutive records of one satellite describe the same orbit: propagated to the middle of
// their interval, their positions agree.
void check_continuity(const NavigationData& nav, double kepler_tol, double glonass_tol, int& pairs) {
    for (const auto* map : {&nav.gps, &nav.galileo, &nav.beidou})
        for (const auto& [id, list] : *map)
            for (std::size_t i = 0; i + 1 < list.size(); ++i) {
                const double gap = list[i + 1].epoch_jd - list[i].epoch_jd;
                if (!(gap > 0 && gap < 4.0 / 24)) continue;
                const double mid = list[i].epoch_jd + gap / 2;
                const bool geo = is_beidou_geo(id);
                EXPECT_LT(dist(kepler_position(list[i], mid, geo), kepler_position(list[i + 1], mid, geo)), kepler_tol) << id;
                ++pairs;
            }
    for (const auto& [id, list] : nav.glonass)
        for (std::size_t i = 0; i + 1 < list.size(); ++i) {
            const double gap = (list[i + 1].epoch_jd - list[i].epoch_jd) * 86400;
            if (!(gap > 0 && gap <= 3600)) continue;
            const auto a = glonass_position(list[i], gap / 2);
            const auto b = glonass_position(list[i + 1], -gap / 2);
            EXPECT_LT(dist(*a, *b), glonass_tol) << id;
            ++pairs;
        }
}

}  // namespace

TEST(RealFiles, OrbitRadiiAndContinuity) {
    const char* files[] = {
        "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx",
        "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_CN.rnx",
        "rinex/NAV/V4/KMS300DNK_R_20221591000_01H_MN.rnx",
        "GNSS_Multipath_Analysis_Software/NavigationFiles/OPEC00NOR_S_20220010000_01D_GN.rnx",
        "GNSS_Multipath_Analysis_Software/NavigationFiles/OPEC00NOR_S_20220010000_01D_RN.rnx",
        "georinex/p1462100.18g",
    };
    int loaded = 0, pairs = 0;
    for (const char* rel : files) {
        const auto nav = load(rel);
        if (!nav) continue;
        ++loaded;
        SCOPED_TRACE(rel);
        check_radii(*nav);
        check_continuity(*nav, 50.0, 300.0, pairs);
    }
    if (loaded == 0) GTEST_SKIP() << "real data not available";
    EXPECT_GT(pairs, 1000);
}

TEST(RealFiles, BeidouGeostationaryOrbits) {
    int checked = 0;
    for (const char* rel : {"rinex/NAV/V3/NYA100NOR_S_20241240000_01D_CN.rnx", "rinex/NAV/V4/BRD400DLR_S_20230710000_01D_MN.rnx",
                            "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"}) {
        const auto nav = load(rel);
        if (!nav) continue;
        for (const auto& [id, list] : nav->beidou) {
            if (!is_beidou_geo(id)) continue;
            const SatelliteOrbit orbit = find_satellite(*nav, id);
            ASSERT_TRUE(orbit.beidou_geo);
            for (const KeplerEphemeris& k : list)
                for (double h = -3.5; h <= 3.5; h += 0.5) {
                    const double jd = k.epoch_jd + h / 24;
                    const auto p = satellite_position(orbit, jd);
                    ASSERT_TRUE(p.has_value()) << id;
                    const Geodetic g = ecef_to_geodetic((*p)[0], (*p)[1], (*p)[2]);
                    EXPECT_LE(std::fabs(g.lat_deg), 3.0) << id;
                    EXPECT_NEAR(norm(*p) / 1000, 42164, 150) << id;
                    const double tk = kepler_time_from_ephemeris(jd, k.toe);
                    EXPECT_LT(dist(kepler_position(k, jd, true), reference_kepler(k, tk, true)), 0.01) << id;
                    ++checked;
                }
        }
    }
    if (checked == 0) GTEST_SKIP() << "real data not available";
    EXPECT_FALSE(is_beidou_geo("C06"));
    EXPECT_FALSE(is_beidou_geo("C58"));
    EXPECT_FALSE(is_beidou_geo("C64"));
    EXPECT_FALSE(is_beidou_geo("C00"));
    EXPECT_TRUE(is_beidou_geo("C63"));
    EXPECT_FALSE(is_beidou_geo("E01"));
}
