#include "interference/inject.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>

#include "rinex/obs_summary.hpp"

namespace tessora {

namespace {

// Band slots: the kBandCount bands, then one slot for codes of no known carrier.
constexpr std::size_t kSlots = kBandCount + 1;
using BandMask = std::array<bool, kSlots>;

bool window_valid(const Injection& j) {
    return std::isfinite(j.start) && std::isfinite(j.end) && j.start >= 0.0 && j.end > j.start;
}

bool active(const Injection& j) {
    if (!window_valid(j)) return false;
    if (j.kind == InjectionKind::jammer) return std::isfinite(j.db) && j.db > 0.0;
    return true;
}

bool in_window(const Injection& j, double t) { return t >= j.start && t < j.end; }

BandMask mask_of(const Injection& j) {
    BandMask m{};
    if (j.bands.empty()) {
        m.fill(true);
        return m;
    }
    for (Band b : j.bands)
        if (static_cast<std::size_t>(b) < kBandCount) m[static_cast<std::size_t>(b)] = true;
    return m;
}

// Noise-to-noise ratio J0/N0 of a degradation of dn dB.
double noise_ratio(double dn) { return std::pow(10.0, dn / 10.0) - 1.0; }

// The p-quantile (0 <= p <= 1) of non-empty `v`, interpolated linearly between order statistics.
// Reorders v.
double quantile(std::vector<double>& v, double p) {
    const double pos = p * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const double frac = pos - static_cast<double>(lo);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(lo), v.end());
    const double a = v[lo];
    if (frac <= 0.0 || lo + 1 >= v.size()) return a;
    const double b = *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(lo) + 1, v.end());
    return a + frac * (b - a);
}

// Per-record lookup tables: each satellite's system, and per (system, code) the band slot of a
// CN0 code (kNotCn0 for the other observables).
struct Tables {
    static constexpr std::uint8_t kNotCn0 = 0xFF;
    std::size_t ncodes = 0;
    std::vector<std::uint32_t> system_of_sat;  // index into the distinct systems
    std::vector<std::uint8_t> slot;            // [system * ncodes + code]
    std::vector<std::uint16_t> group;          // per code: frequency digit and tracking attribute

    std::size_t key(std::uint32_t sat, std::uint32_t code) const { return system_of_sat[sat] * ncodes + code; }
};

Tables make_tables(const RinexObsData& obs) {
    Tables t;
    t.ncodes = obs.code_names.size();
    std::string systems;
    t.system_of_sat.resize(obs.satellite_names.size());
    for (std::size_t s = 0; s < obs.satellite_names.size(); ++s) {
        const std::string& name = obs.satellite_names[s];
        const char letter = name.empty() ? '\0' : name[0];
        std::size_t k = systems.find(letter);
        if (k == std::string::npos) {
            k = systems.size();
            systems.push_back(letter);
        }
        t.system_of_sat[s] = static_cast<std::uint32_t>(k);
    }
    t.slot.assign(systems.size() * t.ncodes, Tables::kNotCn0);
    for (std::size_t sys = 0; sys < systems.size(); ++sys)
        for (std::uint32_t c = 0; c < t.ncodes; ++c)
            if (obs.is_snr_code(c))
                t.slot[sys * t.ncodes + c] = static_cast<std::uint8_t>(band_of(systems[sys], obs.code_names[c], obs.version));
    // The tracking channel of a code: frequency digit and attribute ("S1C" and "L1C" share one,
    // "S1W" has another). RINEX 2 codes have no attribute.
    t.group.resize(t.ncodes);
    for (std::size_t c = 0; c < t.ncodes; ++c) {
        const std::string& n = obs.code_names[c];
        const auto digit = static_cast<unsigned char>(n.size() >= 2 ? n[1] : '\0');
        const auto attr = static_cast<unsigned char>(n.size() >= 3 ? n[2] : '\0');
        t.group[c] = static_cast<std::uint16_t>(digit << 8 | attr);
    }
    return t;
}

// Calls f(sat_entry, obs_index, slot) for every CN0 observation of the record.
template <typename F>
void for_each_cn0(const RinexObsData& obs, const Tables& t, F&& f) {
    for (const Epoch& e : obs.epochs)
        for (const SatelliteEntry* s = obs.sats_begin(e); s != obs.sats_end(e); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                const std::uint8_t slot = t.slot[t.key(s->sat, obs.obs_codes[i])];
                if (slot != Tables::kNotCn0) f(*s, i, slot);
            }
}

// Default tracking thresholds per (system, code); NaN where the record has no usable value.
std::vector<double> default_thresholds(const RinexObsData& obs, const Tables& t) {
    std::vector<std::vector<double>> values(t.slot.size());
    for_each_cn0(obs, t, [&](const SatelliteEntry& s, std::uint32_t i, std::uint8_t) {
        const double v = obs.obs_values[i];
        if (is_valid_cn0(v)) values[t.key(s.sat, obs.obs_codes[i])].push_back(v);
    });
    std::vector<double> out(values.size(), std::nan(""));
    for (std::size_t k = 0; k < values.size(); ++k)
        if (!values[k].empty()) out[k] = quantile(values[k], 0.005);
    return out;
}

// Median of the record's CN0 values in the bands of `mask`; nullopt when there are none.
std::optional<double> median_level(const RinexObsData& obs, const Tables& t, const BandMask& mask) {
    std::vector<double> v;
    for_each_cn0(obs, t, [&](const SatelliteEntry&, std::uint32_t i, std::uint8_t slot) {
        if (mask[slot] && is_valid_cn0(obs.obs_values[i])) v.push_back(obs.obs_values[i]);
    });
    if (v.empty()) return std::nullopt;
    return quantile(v, 0.5);
}

struct ActiveJammer {
    const Injection* j;
    BandMask mask;
};

struct ActiveSpoofer {
    const Injection* j;
    BandMask mask;
    double level;
    double spread;
};

// Copies everything of the record but its epochs and their flat arrays.
RinexObsData copy_header(const RinexObsData& obs) {
    RinexObsData out;
    out.version = obs.version;
    out.marker_name = obs.marker_name;
    out.receiver_type = obs.receiver_type;
    out.receiver_firmware = obs.receiver_firmware;
    out.antenna_type = obs.antenna_type;
    out.approx_position = obs.approx_position;
    out.interval = obs.interval;
    out.obs_types = obs.obs_types;
    out.glonass_slots = obs.glonass_slots;
    out.code_names = obs.code_names;
    out.satellite_names = obs.satellite_names;
    return out;
}

}  // namespace

double jammer_degradation(const Injection& j, double t) {
    if (j.kind != InjectionKind::jammer || !active(j) || !in_window(j, t)) return 0.0;
    switch (j.profile) {
        case JammerProfile::plateau: return j.db;
        case JammerProfile::pass: {
            const double tc = 0.5 * (j.start + j.end);
            const double tau = (j.end - j.start) / 8.0;
            const double x = (t - tc) / tau;
            return 10.0 * std::log10(1.0 + noise_ratio(j.db) / (1.0 + x * x));
        }
        case JammerProfile::ramp: {
            const std::uint32_t steps = std::max<std::uint32_t>(j.steps, 1);
            const double width = (j.end - j.start) / steps;
            // The step from the quotient, then corrected against the boundaries as they are
            // written, so that rounding never puts t on the wrong side of one.
            double q = std::floor((t - j.start) / width);
            q = std::clamp(q, 0.0, static_cast<double>(steps - 1));
            auto k = static_cast<std::uint32_t>(q) + 1;
            while (k > 1 && t < j.start + (k - 1) * width) --k;
            while (k < steps && t >= j.start + k * width) ++k;
            return j.db * k / steps;
        }
    }
    return 0.0;
}

RinexObsData inject_interference(const RinexObsData& obs, const std::vector<Injection>& injections,
                                 const InjectionOptions& options) {
    RinexObsData out = copy_header(obs);
    if (obs.epochs.empty()) return out;

    const Tables tables = make_tables(obs);
    std::vector<ActiveJammer> jammers;
    std::vector<ActiveSpoofer> spoofers;
    for (const Injection& j : injections) {
        if (!active(j)) continue;
        const BandMask mask = mask_of(j);
        if (j.kind == InjectionKind::jammer) {
            jammers.push_back({&j, mask});
            continue;
        }
        std::optional<double> level = j.level ? j.level : median_level(obs, tables, mask);
        if (!level || !std::isfinite(*level)) continue;
        const double spread = std::isfinite(j.spread) ? std::abs(j.spread) : 0.0;
        spoofers.push_back({&j, mask, *level, spread});
    }

    // Thresholds: one for all, or per (system, code) from the record (only needed for jammers).
    std::vector<double> thresholds;
    if (!jammers.empty()) {
        if (options.tracking_threshold)
            thresholds.assign(tables.slot.size(), *options.tracking_threshold);
        else
            thresholds = default_thresholds(obs, tables);
    }

    std::mt19937_64 rng(options.seed);
    out.epochs.reserve(obs.epochs.size());
    out.sat_entries.reserve(obs.sat_entries.size());
    out.obs_values.reserve(obs.obs_values.size());
    out.obs_codes.reserve(obs.obs_codes.size());
    out.obs_indicators.reserve(obs.obs_indicators.size());

    const EpochTime& t0 = obs.epochs.front().time;
    std::array<double, kSlots> dn{};
    std::vector<std::uint16_t> lost;  // tracking channels lost by the current satellite
    std::vector<const ActiveSpoofer*> spoofing;

    for (const Epoch& e : obs.epochs) {
        const double t = exact_seconds_between(e.time, t0);
        // Noise powers of overlapping jammers add: dN = 10 log10(1 + sum of J0/N0).
        std::array<double, kSlots> ratio{};
        for (const ActiveJammer& a : jammers) {
            const double d = jammer_degradation(*a.j, t);
            if (d <= 0.0) continue;
            const double r = noise_ratio(d);
            for (std::size_t b = 0; b < kSlots; ++b)
                if (a.mask[b]) ratio[b] += r;
        }
        for (std::size_t b = 0; b < kSlots; ++b) dn[b] = ratio[b] > 0.0 ? 10.0 * std::log10(1.0 + ratio[b]) : 0.0;
        spoofing.clear();
        for (const ActiveSpoofer& s : spoofers)
            if (in_window(*s.j, t)) spoofing.push_back(&s);

        Epoch ne = e;
        ne.sat_begin = static_cast<std::uint32_t>(out.sat_entries.size());
        ne.sat_count = 0;
        for (const SatelliteEntry* s = obs.sats_begin(e); s != obs.sats_end(e); ++s) {
            const std::uint32_t end = s->obs_begin + s->obs_count;
            lost.clear();
            for (std::uint32_t i = s->obs_begin; i < end; ++i) {
                const std::size_t key = tables.key(s->sat, obs.obs_codes[i]);
                const std::uint8_t slot = tables.slot[key];
                if (slot == Tables::kNotCn0 || dn[slot] <= 0.0) continue;
                if (obs.obs_values[i] - dn[slot] < thresholds[key]) lost.push_back(tables.group[obs.obs_codes[i]]);
            }
            SatelliteEntry ns = *s;
            ns.obs_begin = static_cast<std::uint32_t>(out.obs_values.size());
            ns.obs_count = 0;
            for (std::uint32_t i = s->obs_begin; i < end; ++i) {
                const std::uint32_t code = obs.obs_codes[i];
                if (!lost.empty() && std::find(lost.begin(), lost.end(), tables.group[code]) != lost.end()) continue;
                double v = obs.obs_values[i];
                const std::uint8_t slot = tables.slot[tables.key(s->sat, code)];
                if (slot != Tables::kNotCn0) {
                    v -= dn[slot];
                    for (const ActiveSpoofer* sp : spoofing)
                        if (sp->mask[slot])
                            v = sp->level + std::uniform_real_distribution<double>(-sp->spread, sp->spread)(rng);
                }
                out.obs_values.push_back(v);
                out.obs_codes.push_back(code);
                out.obs_indicators.push_back(obs.obs_indicators[i]);
                ++ns.obs_count;
            }
            if (ns.obs_count == 0) continue;
            out.sat_entries.push_back(ns);
            ++ne.sat_count;
        }
        out.epochs.push_back(ne);
    }
    return out;
}

}  // namespace tessora
