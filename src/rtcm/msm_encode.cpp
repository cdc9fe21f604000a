// Multiple Signal Messages 4 and 7 from cells: the inverse of the decoder in msm.cpp.
//
// Each satellite's rough range is the middle of its pseudoranges (else of its phase ranges) rounded
// to 1/1024 ms, its rough rate the middle of its range rates rounded to 1 m/s; every cell then
// carries its fine values against them. A fine value outside its field becomes the field's "invalid" value,
// which the decoder reads as absent.
#include <algorithm>
#include <bit>
#include <cmath>
#include <map>

#include "rtcm/bit_writer.hpp"
#include "rtcm/encode.hpp"
#include "rtcm/msm_layout.hpp"
#include "rtcm/signals.hpp"

namespace tessora::rtcm {

namespace {

constexpr int msm_base(char system) {
    switch (system) {
        case 'G': return 1070;
        case 'R': return 1080;
        case 'E': return 1090;
        case 'S': return 1100;
        case 'J': return 1110;
        case 'C': return 1120;
        case 'I': return 1130;
        default: return 0;
    }
}

// The most negative value of an n-bit two's complement field: the MSM's "invalid".
std::int64_t invalid_of(unsigned bits) { return -(std::int64_t{1} << (bits - 1)); }

// `v / scale` rounded, when it fits the field other than as its invalid value.
std::optional<std::int64_t> fine(double v, double scale, unsigned bits) {
    if (!std::isfinite(v)) return std::nullopt;
    const double q = std::round(v / scale);
    const double limit = static_cast<double>(std::int64_t{1} << (bits - 1));
    if (!(q > -limit && q < limit)) return std::nullopt;
    return static_cast<std::int64_t>(q);
}

// The largest indicator whose guaranteed lock time does not exceed `lock_ms`.
unsigned lock_indicator(double lock_ms, bool extended) {
    if (!(lock_ms > 0.0)) return 0;
    if (!extended) {
        unsigned i = 0;
        while (i < 15 && lock_ms_4(i + 1) <= lock_ms) ++i;
        return i;
    }
    unsigned lo = 0, hi = 704;  // lock_ms_10 rises with the indicator
    while (lo < hi) {
        const unsigned mid = (lo + hi + 1) / 2;
        if (lock_ms_10(mid) <= lock_ms) lo = mid; else hi = mid - 1;
    }
    return lo;
}

struct Satellite {
    unsigned number = 0;
    double rough_ms = kAbsent;  // multiple of 1/1024 ms
    double rough_rate = kAbsent;  // whole m/s
    int channel = kNoChannel;
    std::vector<const ObsCell*> cells;
};

// The middle of the satellite's values of one field (NaN when none): the fine fields then hold
// signals whose values spread over twice their half-range.
double middle(const Satellite& s, double ObsCell::*field) {
    double lo = kAbsent, hi = kAbsent;
    for (const ObsCell* c : s.cells) {
        const double v = c->*field;
        if (!std::isfinite(v)) continue;
        if (std::isnan(lo) || v < lo) lo = v;
        if (std::isnan(hi) || v > hi) hi = v;
    }
    return (lo + hi) / 2.0;
}

void set_rough(Satellite& s) {
    s.rough_ms = middle(s, &ObsCell::pseudorange);
    if (std::isnan(s.rough_ms)) s.rough_ms = middle(s, &ObsCell::phase_range);
    s.rough_ms /= kMetresPerMs;
    if (std::isfinite(s.rough_ms)) {
        s.rough_ms = std::round(s.rough_ms * 1024.0) / 1024.0;
        if (!(s.rough_ms >= 0.0 && s.rough_ms < 255.0)) s.rough_ms = kAbsent;  // 255 ms: no range
    }
    s.rough_rate = std::round(middle(s, &ObsCell::range_rate));
    if (!(std::fabs(s.rough_rate) < 8192.0)) s.rough_rate = kAbsent;
    for (const ObsCell* c : s.cells)
        if (c->channel != kNoChannel) s.channel = c->channel;
}

// One message of the satellites [first, last).
std::string one_message(const ObsMessage& m, int flavour, const std::vector<Satellite>& sats, std::size_t first,
                        std::size_t last, bool more) {
    const MsmLayout L = layout_of(flavour);
    std::uint64_t sat_mask = 0;
    std::uint32_t sig_mask = 0;
    for (std::size_t i = first; i < last; ++i) {
        sat_mask |= std::uint64_t{1} << (64 - sats[i].number);
        for (const ObsCell* c : sats[i].cells) sig_mask |= 1u << (32 - msm_signal_id(m.system, {c->code, 2}));
    }
    std::vector<unsigned> signals;
    for (unsigned id = 1; id <= 32; ++id)
        if (sig_mask >> (32 - id) & 1) signals.push_back(id);

    BitWriter w;
    w.u(12, static_cast<std::uint64_t>(msm_base(m.system) + flavour));
    w.u(12, static_cast<std::uint64_t>(m.station));
    if (m.system == 'R') {
        w.u(3, m.day);
        w.u(27, m.time_ms);
    } else {
        w.u(30, m.time_ms);
    }
    w.u(1, more ? 1 : 0);
    w.u(18, 0);  // issue of data station, reserved, clock steering, external clock, smoothing
    w.u(64, sat_mask);
    w.u(32, sig_mask);
    // The cells in message order: satellite-major, signals ascending.
    std::vector<std::pair<const Satellite*, const ObsCell*>> cells;
    for (std::size_t i = first; i < last; ++i)
        for (unsigned id : signals) {
            const ObsCell* found = nullptr;
            for (const ObsCell* c : sats[i].cells)
                if (msm_signal_id(m.system, {c->code, 2}) == id) found = c;
            w.u(1, found ? 1 : 0);
            if (found) cells.emplace_back(&sats[i], found);
        }

    for (std::size_t i = first; i < last; ++i)
        w.u(8, std::isnan(sats[i].rough_ms) ? 255 : static_cast<std::uint64_t>(std::floor(sats[i].rough_ms)));
    if (L.rates)
        for (std::size_t i = first; i < last; ++i)
            w.u(4, sats[i].channel >= -7 && sats[i].channel <= 6 ? static_cast<std::uint64_t>(sats[i].channel + 7) : 15);
    for (std::size_t i = first; i < last; ++i) {
        const double r = sats[i].rough_ms;
        w.u(10, std::isnan(r) ? 0 : static_cast<std::uint64_t>(std::llround((r - std::floor(r)) * 1024.0)));
    }
    if (L.rates)
        for (std::size_t i = first; i < last; ++i)
            w.s(14, std::isnan(sats[i].rough_rate) ? -8192 : static_cast<std::int64_t>(sats[i].rough_rate));

    // One block per field, in the decoder's order.
    const auto range_field = [&](unsigned bits, double scale, double ObsCell::*member) {
        for (const auto& [s, c] : cells) {
            std::optional<std::int64_t> v;
            if (!std::isnan(s->rough_ms)) v = fine(c->*member / kMetresPerMs - s->rough_ms, scale, bits);
            w.s(bits, v.value_or(invalid_of(bits)));
        }
    };
    range_field(L.pr_bits, L.pr_scale, &ObsCell::pseudorange);
    range_field(L.phase_bits, L.phase_scale, &ObsCell::phase_range);
    for (const auto& [s, c] : cells) w.u(L.lock_bits, lock_indicator(c->lock_ms, L.extended));
    for (const auto& [s, c] : cells) w.u(1, c->half_cycle ? 1 : 0);
    const double cnr_max = static_cast<double>((1u << L.cnr_bits) - 1);
    for (const auto& [s, c] : cells) {
        double q = std::isfinite(c->cnr) && c->cnr > 0.0 ? std::round(c->cnr / L.cnr_scale) : 0.0;
        if (std::isfinite(c->cnr) && c->cnr > 0.0) q = std::clamp(q, 1.0, cnr_max);
        w.u(L.cnr_bits, static_cast<std::uint64_t>(q));
    }
    if (L.rates)
        for (const auto& [s, c] : cells) {
            std::optional<std::int64_t> v;
            if (!std::isnan(s->rough_rate)) v = fine(c->range_rate - s->rough_rate, 0.0001, 15);
            w.s(15, v.value_or(invalid_of(15)));
        }
    return w.bytes();
}

}  // namespace

unsigned msm_satellite_number(std::string_view sat) {
    // A RINEX satellite identifier is a letter and two digits; anything else is left out (a
    // broken "G1" would otherwise become G01 beside a real G01).
    if (sat.size() != 3 || msm_base(sat[0]) == 0) return 0;
    unsigned n = 0;
    for (char c : sat.substr(1)) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (sat[0] == 'S') n = n >= 20 ? n - 19 : 0;  // PRN 120 ("S20") is number 1
    return n >= 1 && n <= 64 ? n : 0;
}

unsigned msm_signal_id(char system, std::string_view code) {
    if (code.size() != 2) return 0;
    for (unsigned id = 1; id <= 32; ++id) {
        const char* c = msm_signal_code(system, id);
        if (c && c[0] == code[0] && c[1] == code[1]) return id;
    }
    return 0;
}

std::vector<std::string> encode_msm(const ObsMessage& m, int flavour) {
    std::vector<std::string> out;
    if (msm_base(m.system) == 0 || (flavour != 4 && flavour != 7)) return out;
    // Satellites in number order, each with its cells (one per signal; the first of a pair holds).
    std::map<unsigned, Satellite> by_number;
    for (const ObsCell& c : m.cells) {
        const unsigned n = msm_satellite_number(c.sat);
        if (n == 0 || c.sat[0] != m.system || msm_signal_id(m.system, {c.code, 2}) == 0) continue;
        Satellite& s = by_number[n];
        s.number = n;
        const bool repeated = std::any_of(s.cells.begin(), s.cells.end(), [&](const ObsCell* x) {
            return x->code[0] == c.code[0] && x->code[1] == c.code[1];
        });
        if (!repeated) s.cells.push_back(&c);
    }
    std::vector<Satellite> sats;
    for (auto& [n, s] : by_number) {
        set_rough(s);
        sats.push_back(std::move(s));
    }
    // Messages of as many satellites as keep satellites x signals within 64 cells.
    std::size_t first = 0;
    while (first < sats.size()) {
        std::uint32_t mask = 0;
        std::size_t last = first;
        while (last < sats.size()) {
            std::uint32_t with = mask;
            for (const ObsCell* c : sats[last].cells) with |= 1u << (32 - msm_signal_id(m.system, {c->code, 2}));
            if ((last - first + 1) * static_cast<std::size_t>(std::popcount(with)) > 64) break;
            mask = with;
            ++last;
        }
        if (last == first) ++last;  // cannot happen: one satellite has at most 32 signals
        out.push_back(one_message(m, flavour, sats, first, last, last < sats.size() || m.more));
        first = last;
    }
    return out;
}

}  // namespace tessora::rtcm
