// Station and ephemeris messages from the project's records: the inverse of station.cpp and
// ephemeris.cpp. Values are rounded to their field's unit and held within its range.
#include <algorithm>
#include <cmath>

#include "rtcm/bit_writer.hpp"
#include "rtcm/encode.hpp"
#include "rtcm/ephemeris_fields.hpp"
#include "rtcm/gnss_time.hpp"

namespace tessora::rtcm {

namespace {

constexpr double kMoscowAhead = 10800.0;  // Moscow time = UTC + 3 h

// `v / scale` rounded and held within an n-bit field (two's complement when `is_signed`).
std::int64_t quantise(double v, double scale, unsigned bits, bool is_signed) {
    const double q = std::isfinite(v) ? std::round(v / scale) : 0.0;
    const double top = static_cast<double>(std::int64_t{1} << (is_signed ? bits - 1 : bits));
    return static_cast<std::int64_t>(std::clamp(q, is_signed ? -top : 0.0, top - 1.0));
}

// A sign-magnitude field of `bits` bits (magnitude held within its n-1 bits).
void put_sm(BitWriter& w, unsigned bits, double v, double scale) {
    const double top = static_cast<double>(std::int64_t{1} << (bits - 1)) - 1.0;
    const double q = std::isfinite(v) ? std::clamp(std::round(v / scale), -top, top) : 0.0;
    w.sm(bits, static_cast<std::int64_t>(q));
}

// A counted text of the descriptors: printable ASCII, at most 31 characters.
void put_text(BitWriter& w, std::string_view s) {
    if (s.size() > 31) s = s.substr(0, 31);
    w.u(8, s.size());
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        w.u(8, b >= 0x20 && b < 0x7F ? b : '?');
    }
}

double seconds_of_week(const EpochTime& t) {
    const double s = gps_seconds(t);
    return s - std::floor(s / kWeekSeconds) * kWeekSeconds;
}

double seconds_of_day(double s) { return s - std::floor(s / 86400.0) * 86400.0; }

int kepler_type(char system) {
    switch (system) {
        case 'G': return 1019;
        case 'J': return 1044;
        case 'E': return 1046;
        case 'C': return 1042;
        default: return 0;
    }
}

}  // namespace

std::string encode_1005(int station, const std::array<double, 3>& arp) {
    BitWriter w;
    w.u(12, 1005);
    w.u(12, static_cast<std::uint64_t>(station));
    w.u(6, 0);     // reference frame realisation year
    w.u(4, 0xE);   // GPS, GLONASS and Galileo served; a physical reference station
    w.s(38, quantise(arp[0], 0.0001, 38, true));
    w.u(2, 0);     // single receiver oscillator, reserved
    w.s(38, quantise(arp[1], 0.0001, 38, true));
    w.u(2, 0);     // quarter-cycle indicator
    w.s(38, quantise(arp[2], 0.0001, 38, true));
    return w.bytes();
}

std::string encode_1033(int station, std::string_view antenna, std::string_view receiver, std::string_view firmware) {
    BitWriter w;
    w.u(12, 1033);
    w.u(12, static_cast<std::uint64_t>(station));
    put_text(w, antenna);
    w.u(8, 0);  // antenna setup id
    put_text(w, {});  // antenna serial number
    put_text(w, receiver);
    put_text(w, firmware);
    put_text(w, {});  // receiver serial number
    return w.bytes();
}

std::string encode_kepler(const KeplerMessage& m) {
    const int type = kepler_type(m.system);
    const std::vector<Field>* fields = kepler_fields(type);
    if (!fields) return {};
    BitWriter w;
    w.u(12, static_cast<std::uint64_t>(type));
    for (const Field& f : *fields) {
        switch (f.tag) {
            case Tag::skip: w.u(f.bits, 0); break;
            case Tag::prn: w.u(f.bits, m.prn); break;
            case Tag::week: w.u(f.bits, m.week); break;
            case Tag::value: w.s(f.bits, quantise(m.*f.member, f.scale, f.bits, f.is_signed)); break;
        }
    }
    return w.bytes();
}

std::string encode_glonass(const GlonassMessage& g) {
    BitWriter w;
    w.u(12, 1020);
    w.u(6, g.slot);
    w.u(5, static_cast<std::uint64_t>(std::clamp(g.channel, -7, 13) + 7));
    w.u(1 + 1 + 2, 0);  // almanac health, its availability, P1
    const auto tk = static_cast<std::int64_t>(std::round(seconds_of_day(g.tk) / 30.0)) % 2880;  // 30 s units
    w.u(5, static_cast<std::uint64_t>(tk / 120));
    w.u(6, static_cast<std::uint64_t>(tk / 2 % 60));
    w.u(1, static_cast<std::uint64_t>(tk % 2));
    w.u(1 + 1, 0);  // Bn (healthy), P2
    w.u(7, static_cast<std::uint64_t>(std::round(seconds_of_day(g.tb) / 900.0)) % 96);
    const double axes[3][3] = {{g.vx, g.x, g.ax}, {g.vy, g.y, g.ay}, {g.vz, g.z, g.az}};
    for (const auto& axis : axes) {
        put_sm(w, 24, axis[0] / 1000.0, p2(-20));
        put_sm(w, 27, axis[1] / 1000.0, p2(-11));
        put_sm(w, 5, axis[2] / 1000.0, p2(-30));
    }
    w.u(1, 0);  // P3
    put_sm(w, 11, g.gamma, p2(-40));
    w.u(2 + 1, 0);  // P, ln
    put_sm(w, 22, g.tau, p2(-30));
    // delta tau, En, P4, FT, NT, M, additional data, NA, tau c, N4, tau GPS, ln, reserved
    w.u(5 + 5 + 1 + 4 + 11 + 2 + 1 + 11, 0);
    w.u(32 + 5 + 22 + 1 + 7, 0);
    return w.bytes();
}

KeplerMessage kepler_message(const KeplerEphemeris& k) {
    KeplerMessage m;
    m.system = k.system;
    m.prn = k.prn;
    // The week as each system transmits it: GPS and QZSS 10 bits, Galileo 12 bits counted from
    // its own week 0, BeiDou 13 bits of BeiDou weeks (as RINEX writes them).
    const std::int32_t w = k.system == 'E' ? k.week - kGalileoWeekOffset : k.week;
    m.week_bits = k.system == 'E' ? 12 : k.system == 'C' ? 13 : 10;
    m.week = static_cast<unsigned>(w < 0 ? 0 : w) & ((1u << m.week_bits) - 1);
    m.toc = seconds_of_week(k.epoch);
    m.af0 = k.af0, m.af1 = k.af1, m.af2 = k.af2;
    m.iode = k.iode, m.crs = k.crs, m.delta_n = k.delta_n, m.m0 = k.m0;
    m.cuc = k.cuc, m.e = k.e, m.cus = k.cus, m.sqrt_a = k.sqrt_a;
    m.toe = k.toe, m.cic = k.cic, m.omega0 = k.omega0, m.cis = k.cis;
    m.i0 = k.i0, m.crc = k.crc, m.omega = k.omega, m.omega_dot = k.omega_dot;
    m.idot = k.idot;
    return m;
}

GlonassMessage glonass_message(const GlonassEphemeris& g) {
    GlonassMessage m;
    m.slot = g.slot;
    m.channel = g.frequency_channel;
    // The record's times are UTC (the reference time as a calendar epoch, the frame time in
    // seconds of the UTC week); the message carries them as times of day in Moscow time.
    m.tb = seconds_of_day(gps_seconds(g.epoch) + kMoscowAhead);
    m.tk = seconds_of_day(g.message_frame_time + kMoscowAhead);
    m.x = g.x, m.vx = g.vx, m.ax = g.ax;
    m.y = g.y, m.vy = g.vy, m.ay = g.ay;
    m.z = g.z, m.vz = g.vz, m.az = g.az;
    m.gamma = g.relative_frequency_bias;
    m.tau = -g.clock_bias;
    return m;
}

}  // namespace tessora::rtcm
