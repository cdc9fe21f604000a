// Legacy observation messages with signal strength: 1002 (GPS L1), 1004 (GPS L1/L2), 1010
// (GLONASS L1) and 1012 (GLONASS L1/L2).
//
// Each gives one satellite per block: the L1 pseudorange modulo one light-millisecond (GPS) or two
// (GLONASS) with the integer ambiguity of that modulus, the L1 phase range as a difference from
// the pseudorange, a 7-bit lock-time indicator, the CNR in 0.25 dB-Hz and, for the L1/L2 messages,
// L2 as differences from the L1 pseudorange.
#include "rtcm/bits.hpp"
#include "rtcm/messages.hpp"

namespace tessora::rtcm {

namespace {

constexpr double kGlonassModulus = 599584.916;  // m, two light-milliseconds
constexpr std::int64_t kNoPhase = -(std::int64_t{1} << 19);
constexpr std::int64_t kNoL2Range = -(std::int64_t{1} << 13);

// Minimum lock time (ms) of a 7-bit lock-time indicator: 1 s steps below 24, then blocks of 24
// values with steps of 2, 4, 8 and 16 s, 32 s steps from 120, and 127 for 937 s or more.
double lock_ms_7(unsigned i) {
    double s;
    if (i < 24) s = i;
    else if (i < 48) s = 2.0 * i - 24.0;
    else if (i < 72) s = 4.0 * i - 120.0;
    else if (i < 96) s = 8.0 * i - 408.0;
    else if (i < 120) s = 16.0 * i - 1176.0;
    else if (i < 127) s = 32.0 * i - 3096.0;
    else s = 937.0;
    return s * 1000.0;
}

struct Flavour {
    bool glonass;
    bool dual;  // L1 and L2
};

std::string legacy_satellite(bool glonass, unsigned prn) {
    if (glonass) return satellite_id('R', prn);
    // Numbers 40..58 of the GPS messages are SBAS PRNs 120..138.
    if (prn >= 40) return satellite_id('S', prn - 39);
    return satellite_id('G', prn);
}

ObsCell make_cell(const std::string& sat, const char* code) {
    ObsCell c;
    c.sat = sat;
    c.code[0] = code[0];
    c.code[1] = code[1];
    return c;
}

double cnr_of(std::uint64_t raw) { return raw == 0 ? kAbsent : static_cast<double>(raw) * 0.25; }

// One satellite block; false for a satellite number the message cannot carry.
bool read_satellite(BitReader& r, const Flavour& f, ObsMessage& m) {
    const auto prn = static_cast<unsigned>(r.u(6));
    const unsigned code1 = static_cast<unsigned>(r.u(1));
    int channel = kNoChannel;
    if (f.glonass) channel = static_cast<int>(r.u(5)) - 7;
    const double pr_mod = static_cast<double>(r.u(f.glonass ? 25 : 24)) * 0.02;
    const std::int64_t ppr1 = r.s(20);
    const double lock1 = lock_ms_7(static_cast<unsigned>(r.u(7)));
    const double ambiguity = static_cast<double>(r.u(f.glonass ? 7 : 8)) * (f.glonass ? kGlonassModulus : kMetresPerMs);
    const double cnr1 = cnr_of(r.u(8));
    const double pr1 = pr_mod + ambiguity;
    if (prn == 0 || (f.glonass && prn > 24)) {
        if (f.dual) r.skip(51);
        return true;  // an empty slot; its bits are read and dropped
    }
    const std::string sat = legacy_satellite(f.glonass, prn);
    ObsCell l1 = make_cell(sat, f.glonass ? (code1 ? "1P" : "1C") : (code1 ? "1P" : "1C"));
    l1.pseudorange = pr1;
    if (ppr1 != kNoPhase) l1.phase_range = pr1 + static_cast<double>(ppr1) * 0.0005;
    l1.lock_ms = lock1;
    l1.cnr = cnr1;
    l1.channel = channel;
    m.cells.push_back(l1);
    if (!f.dual) return true;
    const unsigned code2 = static_cast<unsigned>(r.u(2));
    const std::int64_t pr21 = r.s(14);
    const std::int64_t ppr2 = r.s(20);
    const double lock2 = lock_ms_7(static_cast<unsigned>(r.u(7)));
    const double cnr2 = cnr_of(r.u(8));
    // GPS L2 code indicator: C/A or L2C, P(Y) direct, P(Y) cross-correlated, codeless P(Y).
    static constexpr const char* kGpsL2[4] = {"2X", "2P", "2D", "2W"};
    ObsCell l2 = make_cell(sat, f.glonass ? (code2 ? "2P" : "2C") : kGpsL2[code2 & 3]);
    if (pr21 != kNoL2Range) l2.pseudorange = pr1 + static_cast<double>(pr21) * 0.02;
    if (ppr2 != kNoPhase) l2.phase_range = pr1 + static_cast<double>(ppr2) * 0.0005;
    l2.lock_ms = lock2;
    l2.cnr = cnr2;
    l2.channel = channel;
    m.cells.push_back(l2);
    return true;
}

}  // namespace

std::optional<ObsMessage> decode_legacy(std::string_view payload) {
    BitReader r(payload);
    ObsMessage m;
    m.type = static_cast<int>(r.u(12));
    Flavour f{};
    switch (m.type) {
        case 1002: f = {false, false}; break;
        case 1004: f = {false, true}; break;
        case 1010: f = {true, false}; break;
        case 1012: f = {true, true}; break;
        default: return std::nullopt;
    }
    m.system = f.glonass ? 'R' : 'G';
    m.station = static_cast<int>(r.u(12));
    m.clock = f.glonass ? EpochClock::glonass_ms : EpochClock::week_ms;
    m.time_ms = static_cast<std::uint32_t>(r.u(f.glonass ? 27 : 30));
    m.more = r.u(1) != 0;  // synchronous GNSS flag: more messages of this epoch follow
    const auto nsat = static_cast<unsigned>(r.u(5));
    r.skip(4);  // smoothing indicator and interval
    const std::size_t per_sat = f.glonass ? (f.dual ? 130 : 79) : (f.dual ? 125 : 74);
    if (!r.has(nsat * per_sat)) return std::nullopt;
    for (unsigned i = 0; i < nsat; ++i) read_satellite(r, f, m);
    if (r.overrun() || m.time_ms >= (f.glonass ? 86401000u : 604800000u)) return std::nullopt;
    return m;
}

}  // namespace tessora::rtcm
