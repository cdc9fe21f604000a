// Broadcast ephemerides: 1019 (GPS), 1020 (GLONASS), 1042 (BeiDou), 1044 (QZSS), 1045 (Galileo
// F/NAV) and 1046 (Galileo I/NAV).
//
// The Keplerian messages carry the navigation message's own fields: angles in semicircles, scaled
// integers with power-of-two units, two's complement for signed fields. They are read through one
// table per message, in message order, and converted to the units of a RINEX file (radians,
// seconds, metres). The GPS and BeiDou constellations define pi as 3.1415926535898 for the
// semicircle conversion, and Galileo uses the same value.
#include <cmath>

#include "rtcm/bits.hpp"
#include "rtcm/gnss_time.hpp"
#include "rtcm/ephemeris_fields.hpp"
#include "rtcm/messages.hpp"

namespace tessora::rtcm {

namespace {

constexpr Field skip(unsigned bits) { return {Tag::skip, nullptr, bits, false, 0.0}; }
constexpr Field prn(unsigned bits) { return {Tag::prn, nullptr, bits, false, 1.0}; }
constexpr Field week(unsigned bits) { return {Tag::week, nullptr, bits, false, 1.0}; }
Field u(Member m, unsigned bits, double scale) { return {Tag::value, m, bits, false, scale}; }
Field s(Member m, unsigned bits, double scale) { return {Tag::value, m, bits, true, scale}; }
// A signed angle in semicircles with unit 2^e.
Field a(Member m, unsigned bits, int e) { return {Tag::value, m, bits, true, p2(e) * kSemicircle}; }

using K = KeplerMessage;

// The orbit fields from Crs to OMEGA DOT, common to GPS, QZSS and Galileo (1019, 1044, 1045, 1046).
std::vector<Field> gps_like_orbit() {
    return {s(&K::crs, 16, p2(-5)),  a(&K::delta_n, 16, -43), a(&K::m0, 32, -31),   s(&K::cuc, 16, p2(-29)),
            u(&K::e, 32, p2(-33)),   s(&K::cus, 16, p2(-29)), u(&K::sqrt_a, 32, p2(-19))};
}

std::vector<Field> concat(std::vector<Field> a, const std::vector<Field>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Field>& fields_1019() {
    static const std::vector<Field> f = concat(
        concat({prn(6), week(10), skip(4 + 2), a(&K::idot, 14, -43), u(&K::iode, 8, 1.0), u(&K::toc, 16, 16.0),
                s(&K::af2, 8, p2(-55)), s(&K::af1, 16, p2(-43)), s(&K::af0, 22, p2(-31)), skip(10)},
               gps_like_orbit()),
        {u(&K::toe, 16, 16.0), s(&K::cic, 16, p2(-29)), a(&K::omega0, 32, -31), s(&K::cis, 16, p2(-29)),
         a(&K::i0, 32, -31), s(&K::crc, 16, p2(-5)), a(&K::omega, 32, -31), a(&K::omega_dot, 24, -43),
         skip(8 + 6 + 1 + 1)});
    return f;
}

const std::vector<Field>& fields_1044() {
    static const std::vector<Field> f = concat(
        concat({prn(4), u(&K::toc, 16, 16.0), s(&K::af2, 8, p2(-55)), s(&K::af1, 16, p2(-43)),
                s(&K::af0, 22, p2(-31)), u(&K::iode, 8, 1.0)},
               gps_like_orbit()),
        {u(&K::toe, 16, 16.0), s(&K::cic, 16, p2(-29)), a(&K::omega0, 32, -31), s(&K::cis, 16, p2(-29)),
         a(&K::i0, 32, -31), s(&K::crc, 16, p2(-5)), a(&K::omega, 32, -31), a(&K::omega_dot, 24, -43),
         a(&K::idot, 14, -43), skip(2), week(10), skip(4 + 6 + 8 + 10 + 1)});
    return f;
}

// Galileo: 1045 (F/NAV) and 1046 (I/NAV) differ only after OMEGA DOT (group delays, health).
std::vector<Field> galileo_fields(unsigned tail_bits) {
    return concat(
        concat({prn(6), week(12), u(&K::iode, 10, 1.0), skip(8), a(&K::idot, 14, -43), u(&K::toc, 14, 60.0),
                s(&K::af2, 6, p2(-59)), s(&K::af1, 21, p2(-46)), s(&K::af0, 31, p2(-34))},
               gps_like_orbit()),
        {u(&K::toe, 14, 60.0), s(&K::cic, 16, p2(-29)), a(&K::omega0, 32, -31), s(&K::cis, 16, p2(-29)),
         a(&K::i0, 32, -31), s(&K::crc, 16, p2(-5)), a(&K::omega, 32, -31), a(&K::omega_dot, 24, -43),
         skip(tail_bits)});
}

const std::vector<Field>& fields_1042() {
    static const std::vector<Field> f = {
        prn(6), week(13), skip(4), a(&K::idot, 14, -43), u(&K::iode, 5, 1.0), u(&K::toc, 17, 8.0),
        s(&K::af2, 11, p2(-66)), s(&K::af1, 22, p2(-50)), s(&K::af0, 24, p2(-33)), skip(5),
        s(&K::crs, 18, p2(-6)), a(&K::delta_n, 16, -43), a(&K::m0, 32, -31), s(&K::cuc, 18, p2(-31)),
        u(&K::e, 32, p2(-33)), s(&K::cus, 18, p2(-31)), u(&K::sqrt_a, 32, p2(-19)), u(&K::toe, 17, 8.0),
        s(&K::cic, 18, p2(-31)), a(&K::omega0, 32, -31), s(&K::cis, 18, p2(-31)), a(&K::i0, 32, -31),
        s(&K::crc, 18, p2(-6)), a(&K::omega, 32, -31), a(&K::omega_dot, 24, -43), skip(10 + 10 + 1)};
    return f;
}

bool read_fields(BitReader& r, const std::vector<Field>& fields, KeplerMessage& m) {
    std::size_t total = 0;
    for (const Field& f : fields) total += f.bits;
    if (!r.has(total)) return false;
    for (const Field& f : fields) {
        switch (f.tag) {
            case Tag::skip: r.skip(f.bits); break;
            case Tag::prn: m.prn = static_cast<unsigned>(r.u(f.bits)); break;
            case Tag::week:
                m.week = static_cast<unsigned>(r.u(f.bits));
                m.week_bits = f.bits;
                break;
            case Tag::value: {
                const double raw = f.is_signed ? static_cast<double>(r.s(f.bits)) : static_cast<double>(r.u(f.bits));
                m.*f.member = raw * f.scale;
                break;
            }
        }
    }
    return !r.overrun();
}

}  // namespace

const std::vector<Field>* kepler_fields(int type) {
    static const std::vector<Field> f1045 = galileo_fields(10 + 2 + 1 + 7);
    static const std::vector<Field> f1046 = galileo_fields(10 + 10 + 2 + 1 + 2 + 1);
    switch (type) {
        case 1019: return &fields_1019();
        case 1044: return &fields_1044();
        case 1045: return &f1045;
        case 1046: return &f1046;
        case 1042: return &fields_1042();
        default: return nullptr;
    }
}

char kepler_system(int type) {
    switch (type) {
        case 1019: return 'G';
        case 1044: return 'J';
        case 1045: case 1046: return 'E';
        case 1042: return 'C';
        default: return 0;
    }
}

std::optional<KeplerMessage> decode_kepler(std::string_view payload) {
    BitReader r(payload);
    const int type = static_cast<int>(r.u(12));
    const std::vector<Field>* fields = kepler_fields(type);
    if (!fields) return std::nullopt;
    KeplerMessage m;
    m.system = kepler_system(type);
    if (!read_fields(r, *fields, m) || m.prn == 0) return std::nullopt;
    return m;
}

std::optional<GlonassMessage> decode_glonass(std::string_view payload) {
    BitReader r(payload);
    if (r.u(12) != 1020 || !r.has(348)) return std::nullopt;
    GlonassMessage g;
    g.slot = static_cast<unsigned>(r.u(6));
    g.channel = static_cast<int>(r.u(5)) - 7;
    r.skip(1 + 1 + 2);  // almanac health, its availability, P1
    const auto tk_h = static_cast<double>(r.u(5));
    const auto tk_m = static_cast<double>(r.u(6));
    const auto tk_s = static_cast<double>(r.u(1)) * 30.0;
    g.tk = tk_h * 3600.0 + tk_m * 60.0 + tk_s;
    r.skip(1 + 1);  // Bn, P2
    g.tb = static_cast<double>(r.u(7)) * 900.0;
    // Per axis: velocity (2^-20 km/s), position (2^-11 km), luni-solar acceleration (2^-30 km/s^2),
    // all sign-magnitude.
    double* axes[3][3] = {{&g.vx, &g.x, &g.ax}, {&g.vy, &g.y, &g.ay}, {&g.vz, &g.z, &g.az}};
    for (auto& axis : axes) {
        *axis[0] = static_cast<double>(r.sm(24)) * p2(-20) * 1000.0;
        *axis[1] = static_cast<double>(r.sm(27)) * p2(-11) * 1000.0;
        *axis[2] = static_cast<double>(r.sm(5)) * p2(-30) * 1000.0;
    }
    r.skip(1);  // P3
    g.gamma = static_cast<double>(r.sm(11)) * p2(-40);
    r.skip(2 + 1);  // P, ln
    g.tau = static_cast<double>(r.sm(22)) * p2(-30);
    if (r.overrun() || g.slot == 0 || g.channel > 13) return std::nullopt;
    return g;
}

KeplerEphemeris to_kepler(const KeplerMessage& m, std::int32_t week) {
    KeplerEphemeris k;
    k.system = m.system;
    k.prn = m.prn;
    k.week = week;
    const std::int32_t gps_week = m.system == 'C' ? week + kBeidouWeekOffset : week;
    // The epoch is the clock reference time in the system's own scale, as RINEX writes it.
    k.epoch = gps_calendar(static_cast<double>(gps_week) * kWeekSeconds + m.toc);
    k.af0 = m.af0, k.af1 = m.af1, k.af2 = m.af2;
    k.iode = m.iode, k.crs = m.crs, k.delta_n = m.delta_n, k.m0 = m.m0;
    k.cuc = m.cuc, k.e = m.e, k.cus = m.cus, k.sqrt_a = m.sqrt_a;
    k.toe = m.toe, k.cic = m.cic, k.omega0 = m.omega0, k.cis = m.cis;
    k.i0 = m.i0, k.crc = m.crc, k.omega = m.omega, k.omega_dot = m.omega_dot;
    k.idot = m.idot;
    k.prepare();
    return k;
}

namespace {

// The time `of_day` (s of day) on the day that puts it nearest to `near` (both on the same scale).
double nearest_on_day(double of_day, double near) {
    const double day = std::floor(near / 86400.0) * 86400.0;
    double best = day + of_day;
    for (double shift : {-86400.0, 86400.0})
        if (std::fabs(day + of_day + shift - near) < std::fabs(best - near)) best = day + of_day + shift;
    return best;
}

}  // namespace

GlonassEphemeris to_glonass(const GlonassMessage& m, double near_gps, int leap) {
    constexpr double kMoscow = 10800.0;  // Moscow time = UTC + 3 h
    const double near_moscow = near_gps - leap + kMoscow;
    const double tb_utc = nearest_on_day(m.tb, near_moscow) - kMoscow;
    const double tk_utc = nearest_on_day(m.tk, near_moscow) - kMoscow;
    GlonassEphemeris g;
    g.epoch = gps_calendar(tb_utc);  // the calendar arithmetic is the same; the scale is UTC
    g.clock_bias = -m.tau;
    g.relative_frequency_bias = m.gamma;
    g.message_frame_time = tk_utc - std::floor(tk_utc / kWeekSeconds) * kWeekSeconds;
    g.x = m.x, g.vx = m.vx, g.ax = m.ax;
    g.y = m.y, g.vy = m.vy, g.ay = m.ay;
    g.z = m.z, g.vz = m.vz, g.az = m.az;
    g.slot = m.slot;
    g.frequency_channel = m.channel;
    g.epoch_jd = julian_date(g.epoch);
    return g;
}

}  // namespace tessora::rtcm
