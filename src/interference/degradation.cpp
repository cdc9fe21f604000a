// The common-mode degradation of each band: per epoch, the median over the band's signals of
// (expected - measured CN0). A jammer raises the noise floor of every signal in its band at
// once, so the median moves; the horizon, obstructions and multipath touch a few satellites and
// leave it where it is. Signals lost while they should still be held enter as what they lost at
// least: their expected level less the weakest level the receiver holds them at.
#include <algorithm>
#include <cmath>

#include "interference/robust.hpp"
#include "interference/steps.hpp"

namespace tessora::detector {

namespace {

// A signal not seen for longer than this no longer counts as lost. Without an elevation a
// setting satellite cannot be told from a lost one, so there the memory covers only the moment
// it went.
constexpr double kLostMemory = 7200.0;  // s
constexpr double kLostMemoryWithoutElevation = 60.0;  // s
// The elevation-pattern test needs this many signals in the band at the epoch.
constexpr std::size_t kSlopeSignals = 4;
// A common-mode measure needs several satellites: with fewer, one satellite's obstruction or
// multipath is the whole band.
constexpr std::size_t kCommonModeSatellites = 4;
// A constellation with this many satellites in a band at an epoch has a median of its own.
constexpr std::size_t kConstellationSatellites = 3;

// The values entering one band's median at one epoch, grouped by constellation.
struct BandValues {
    static constexpr std::size_t kGroups = 8;  // G R E C J S I, and any other letter
    std::array<std::vector<double>, kGroups> values;
    std::array<std::size_t, kGroups> satellites{}, templated{};
    std::vector<double> all;  // every value, gathered only when no constellation has a median of its own
    std::size_t total_satellites = 0;

    static std::size_t group_of(char system) {
        switch (system) {
            case 'G': return 0;
            case 'R': return 1;
            case 'E': return 2;
            case 'C': return 3;
            case 'J': return 4;
            case 'S': return 5;
            case 'I': return 6;
            default: return 7;
        }
    }
    void clear() {
        for (auto& v : values) v.clear();
        satellites.fill(0);
        templated.fill(0);
        total_satellites = 0;
    }
    // `new_satellite`: the first value of this satellite in the band at this epoch.
    void add(char system, double value, bool new_satellite, bool from_template) {
        const std::size_t g = group_of(system);
        values[g].push_back(value);
        satellites[g] += new_satellite;
        total_satellites += new_satellite;
        templated[g] += from_template;
    }
};

// The band's degradation at one epoch; NaN with too few satellites. Interference raises the noise
// floor of every signal on its carrier, whatever the constellation: where several constellations
// share the band with enough satellites each, the smallest of their medians is taken, so that a
// drop of one constellation alone (a system event, a receiver's tracking of it) is not read as
// interference. A constellation measured against the elevation template outweighs those measured
// against their own levels, which a long event drags along: with one such constellation its
// median stands, with several the least of theirs. `shared` tells whether several constellations
// had a median of their own.
double band_degradation(BandValues& v, bool& shared) {
    if (v.total_satellites < kCommonModeSatellites) return kNaN;
    double least = kNaN, least_templated = kNaN;
    std::size_t groups = 0, templated = 0;
    for (std::size_t g = 0; g < BandValues::kGroups; ++g) {
        if (v.satellites[g] < kConstellationSatellites) continue;
        const double m = median_in_place(v.values[g]);
        least = groups++ == 0 ? m : std::min(least, m);
        if (2 * v.templated[g] > v.values[g].size()) least_templated = templated++ == 0 ? m : std::min(least_templated, m);
    }
    shared = groups >= 2;
    if (templated) return least_templated;
    if (shared) return least;
    v.all.clear();
    for (const auto& g : v.values) v.all.insert(v.all.end(), g.begin(), g.end());
    return median_in_place(v.all);
}

// Robust scale of the single-signal residuals of each band, over the epochs of learning (every
// few epochs: a scale needs tens of thousands of values, not a day's million).
std::array<double, kBandCount> residual_scales(Work& w) {
    std::array<std::vector<double>, kBandCount> r, margin;
    const std::size_t step = w.samples.size() / 50000 + 1;
    for (std::size_t e = 0; e < w.order.size(); e += step) {
        if (w.excluded[e]) continue;
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i) {
            const Sample& s = w.samples[i];
            if (std::isnan(s.expected)) continue;
            const std::uint32_t g = w.tracks[s.track].signal;
            r[static_cast<std::size_t>(w.signals[g].band)].push_back(s.expected - s.cn0);
            margin[static_cast<std::size_t>(w.signals[g].band)].push_back(s.expected - w.floor[g]);
        }
    }
    std::array<double, kBandCount> out{};
    for (std::size_t b = 0; b < kBandCount; ++b) {
        out[b] = r[b].empty() ? kNaN : robust_scale(std::move(r[b])).sigma;
        w.bands[b].margin = margin[b].empty() ? kNaN : median_in_place(margin[b]);
    }
    return out;
}

// Lower bound of the degradation of a track lost at ordered epoch e, or NaN when it does not
// count as lost (not seen recently, below the mask or its usual horizon, or expected at its floor
// anyway).
double lost_bound(const Work& w, std::size_t e, std::uint32_t k, double last_expected,
                  double since, bool own_level) {
    const Track& t = w.tracks[k];
    const Signal& sig = w.signals[t.signal];
    double expected = last_expected;
    const float el = w.elevation(e, t.sat);
    const bool with_elevation = !own_level && sig.template_index >= 0 && !std::isnan(el);
    if (since > (with_elevation ? kLostMemory : kLostMemoryWithoutElevation)) return kNaN;
    if (with_elevation) {
        const double low = w.low_elevation[t.signal];
        const double horizon = std::isnan(low) ? w.min_elevation : std::max(w.min_elevation, low);
        if (!(el >= horizon)) return kNaN;
        expected = template_value(w.templ.signals[static_cast<std::size_t>(sig.template_index)], el) + t.offset;
    }
    const double bound = expected - w.floor[t.signal];
    return bound > 0.0 ? bound : kNaN;
}

struct SlopeSums {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    void add(double x, double y) {
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        syy += y * y;
    }
    // Spread of the measured values against that of the expected ones (ratio of standard deviations).
    double spread_ratio() const { return std::sqrt(std::max(syy - sy * sy / n, 0.0) / spread()); }
    // Slope of y on x and the spread of x (sum of squared deviations).
    double spread() const { return n > 0 ? sxx - sx * sx / n : 0.0; }
    double slope() const { return (sxy - sx * sy / n) / spread(); }
};

// Standardises a per-epoch series by its robust centre and scale over the epochs of learning.
void standardise(const Work& w, const std::vector<double>& v, std::vector<double>& z, double& centre, double& scale) {
    std::vector<double> learn;
    for (std::size_t e = 0; e < v.size(); ++e)
        if (w.measured(e) && !std::isnan(v[e])) learn.push_back(v[e]);
    const RobustScale rs = robust_scale(std::move(learn), w.second_pass);
    centre = std::isnan(rs.centre) ? 0.0 : rs.centre;
    // A scale of zero (identical values throughout, as in made-up data) still standardises.
    scale = std::isnan(rs.sigma) ? 1.0 : std::max(rs.sigma, 1e-3);
    z.assign(v.size(), kNaN);
    for (std::size_t e = 0; e < v.size(); ++e)
        if (!std::isnan(v[e])) z[e] = (v[e] - centre) / scale;
}

}  // namespace

void choose_trigger_bands(Work& w);

namespace {

// The degradation series of one channel: the primary one (`own_level` false) over every band,
// or the baseline one over the mixed bands, every signal against its own level.
void measure_channel(Work& w, bool own_level, const std::array<double, kBandCount>& sigma_r) {
    const std::size_t ne = w.order.size();
    const std::size_t first_slot = own_level ? kBandCount : 0;
    const auto wanted = [&](std::size_t b) { return !own_level || w.mixed[b]; };
    const auto expectation = [&](const Sample& s) { return own_level ? s.base : s.expected; };
    if (own_level) w.lost_base.clear();
    else w.lost.clear();
    auto& lost_list = own_level ? w.lost_base : w.lost;
    const std::size_t nt = w.tracks.size();
    std::vector<std::int64_t> last_seen(nt, -1);
    std::vector<std::uint32_t> memory;         // tracks seen within kLostMemory
    std::vector<std::uint8_t> in_memory(nt, 0);
    std::vector<double> last_expected(nt, kNaN);
    std::array<BandValues, kBandCount> values;
    // Per satellite, the (epoch, band) it last gave a value to: counts satellites, not signals.
    std::vector<std::size_t> stamp(w.nsat, SIZE_MAX);
    const auto first_of = [&](std::uint32_t sat, std::size_t e, std::size_t b) {
        const std::size_t token = e * kBandCount + b;
        if (stamp[sat] == token) return false;
        stamp[sat] = token;
        return true;
    };
    std::array<SlopeSums, kBandCount> sums;
    const auto system_of = [&](std::uint32_t sat) { return w.obs->satellite_names[sat][0]; };
    for (std::size_t e = 0; e < ne; ++e) {
        for (auto& v : values) v.clear();
        sums.fill(SlopeSums{});
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i) {
            const Sample& s = w.samples[i];
            last_seen[s.track] = static_cast<std::int64_t>(e);
            const double x = expectation(s);
            if (std::isnan(x)) continue;
            const auto b = static_cast<std::size_t>(w.signals[w.tracks[s.track].signal].band);
            if (!wanted(b)) continue;
            last_expected[s.track] = x;
            const std::uint32_t sat = w.tracks[s.track].sat;
            const bool templated =
                !own_level && !std::isnan(s.elevation) && w.signals[w.tracks[s.track].signal].template_index >= 0;
            values[b].add(system_of(sat), x - s.cn0, first_of(sat, e, b), templated);
            // The elevation pattern is judged on expectations that carry it: the template's.
            if (templated) sums[b].add(x, s.cn0);
            ++w.bands[first_slot + b].tracked[e];
        }
        // The tracks seen within the memory, oldest dropped as they expire.
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i) {
            const std::uint32_t k = w.samples[i].track;
            if (in_memory[k] || !wanted(static_cast<std::size_t>(w.signals[w.tracks[k].signal].band))) continue;
            in_memory[k] = 1;
            memory.push_back(k);
        }
        std::size_t kept = 0;
        for (const std::uint32_t k : memory) {
            const double since = w.seconds[e] - w.seconds[static_cast<std::size_t>(last_seen[k])];
            if (since > kLostMemory) {
                in_memory[k] = 0;
                continue;
            }
            memory[kept++] = k;
        }
        memory.resize(kept);
        for (const std::uint32_t k : memory) {
            if (last_seen[k] == static_cast<std::int64_t>(e) || std::isnan(last_expected[k])) continue;
            const auto b = static_cast<std::size_t>(w.signals[w.tracks[k].signal].band);
            if (!wanted(b)) continue;
            const double since = w.seconds[e] - w.seconds[static_cast<std::size_t>(last_seen[k])];
            const double bound = lost_bound(w, e, k, last_expected[k], since, own_level);
            if (std::isnan(bound)) continue;
            const float el = w.elevation(e, w.tracks[k].sat);
            const bool templated = !own_level && !std::isnan(el) && w.signals[w.tracks[k].signal].template_index >= 0;
            values[b].add(system_of(w.tracks[k].sat), bound, first_of(w.tracks[k].sat, e, b), templated);
            ++w.bands[first_slot + b].lost[e];
            lost_list.emplace_back(static_cast<std::uint32_t>(e), k);
        }
        for (std::size_t b = 0; b < kBandCount; ++b) {
            if (!wanted(b)) continue;
            bool shared = false;
            const double d = band_degradation(values[b], shared);
            if (std::isnan(d)) continue;
            BandWork& bw = w.bands[first_slot + b];
            bw.shared_epochs += shared;
            bw.present = true;
            bw.degradation[e] = d;
            const SlopeSums& ss = sums[b];
            // The slope is measured where its standard error, sigma / sqrt(spread), is a quarter
            // or less: the satellites' expected levels must differ enough to show a pattern.
            if (ss.n >= kSlopeSignals && sigma_r[b] > 0.0 && ss.spread() >= 16.0 * sigma_r[b] * sigma_r[b]) {
                bw.slope[e] = ss.slope();
                bw.slope_signals[e] = static_cast<std::uint32_t>(ss.n);
                bw.spread[e] = ss.spread_ratio();
                bw.flat_raw[e] = (1.0 - ss.slope()) * std::sqrt(ss.spread()) / sigma_r[b];
            }
        }
    }
}

}  // namespace

void measure_degradation(Work& w) {
    const std::size_t ne = w.order.size();
    for (BandWork& bw : w.bands) {
        bw = BandWork{};
        bw.degradation.assign(ne, kNaN);
        bw.tracked.assign(ne, 0);
        bw.lost.assign(ne, 0);
        bw.slope.assign(ne, kNaN);
        bw.slope_signals.assign(ne, 0);
        bw.spread.assign(ne, kNaN);
        bw.flat_raw.assign(ne, kNaN);
    }
    const std::array<double, kBandCount> sigma_r = residual_scales(w);
    measure_channel(w, false, sigma_r);
    if (std::any_of(w.mixed.begin(), w.mixed.end(), [](bool m) { return m; })) measure_channel(w, true, sigma_r);
    choose_trigger_bands(w);
}

// A band that one constellation has to itself cannot tell interference from that constellation's
// own events (a system event, the receiver's tracking of it) by CN0 alone. Where the recording
// has bands shared by several constellations, only those open events; the others join them.
void choose_trigger_bands(Work& w) {
    bool any_shared = false;
    for (BandWork& bw : w.bands) {
        std::size_t with_data = 0;
        for (double d : bw.degradation) with_data += !std::isnan(d);
        bw.triggers = bw.present && 2 * bw.shared_epochs > with_data;
        any_shared = any_shared || bw.triggers;
    }
    if (!any_shared)
        for (BandWork& bw : w.bands) bw.triggers = bw.present;
}

namespace {

// Epochs whose noise is measured apart: those within an hour of either end of the recording or
// within a satellite's baseline window of a gap (where every expectation is one-sided), and
// those with few signals in the band (where the median of a handful scatters more than 1/sqrt(n)
// says). Each kind's scale counts only when it is larger than the band's overall one.
constexpr double kEdgeSeconds = 3600.0;
constexpr double kGapSeconds = 300.0;
constexpr double kAfterGapSeconds = 900.0;
constexpr double kFewSignals = 0.6;  // of the band's usual count
constexpr std::size_t kStratumValues = 60;

std::vector<std::uint8_t> edge_epochs(const Work& w) {
    const std::size_t ne = w.order.size();
    std::vector<std::uint8_t> edge(ne, 0);
    if (ne == 0) return edge;
    const double end = w.seconds[ne - 1];
    for (std::size_t e = 0; e < ne; ++e) edge[e] = w.seconds[e] < kEdgeSeconds || end - w.seconds[e] < kEdgeSeconds;
    for (std::size_t e = 1; e < ne; ++e) {
        if (w.seconds[e] - w.seconds[e - 1] <= kGapSeconds) continue;
        for (std::size_t k = e; k < ne && w.seconds[k] - w.seconds[e] <= kAfterGapSeconds; ++k) edge[k] = 1;
        for (std::size_t k = e; k-- > 0 && w.seconds[e - 1] - w.seconds[k] <= kAfterGapSeconds;) edge[k] = 1;
    }
    return edge;
}

void standardise_slot(Work& w, BandWork& bw, const std::vector<std::uint8_t>& edge) {
    const std::size_t ne = w.order.size();
    std::vector<double> counts;
    for (std::size_t e = 0; e < ne; ++e)
        if (!std::isnan(bw.degradation[e])) counts.push_back(bw.tracked[e] + bw.lost[e]);
    bw.typical_count = median_in_place(counts);
    // The median of n signals scatters as 1/sqrt(n): weigh each epoch by its signal count.
    std::vector<double> scaled(ne, kNaN);
    std::vector<double> plain;
    std::vector<std::uint8_t> stratum(ne, 0);
    for (std::size_t e = 0; e < ne; ++e)
        if (!std::isnan(bw.degradation[e])) {
            const double n = bw.tracked[e] + bw.lost[e];
            if (w.measured(e)) plain.push_back(bw.degradation[e]);
            scaled[e] = std::sqrt(n / bw.typical_count);
            stratum[e] = static_cast<std::uint8_t>((edge[e] ? 1 : 0) + (n < kFewSignals * bw.typical_count ? 2 : 0));
        }
    const RobustScale centre = robust_scale(std::move(plain));
    bw.centre = std::isnan(centre.centre) ? 0.0 : centre.centre;
    for (std::size_t e = 0; e < ne; ++e)
        if (!std::isnan(scaled[e])) scaled[e] *= bw.degradation[e] - bw.centre;
    double unused = 0.0;
    standardise(w, scaled, bw.z, unused, bw.noise);
    std::array<std::vector<double>, 4> by_stratum;
    for (std::size_t e = 0; e < ne; ++e)
        if (!std::isnan(bw.z[e]) && !w.excluded[e]) by_stratum[stratum[e]].push_back(bw.z[e]);
    std::array<double, 4> factor{1.0, 1.0, 1.0, 1.0};
    for (std::size_t k = 1; k < 4; ++k) {
        if (by_stratum[k].size() < kStratumValues) continue;
        // The spread of the lower side: from the 6.7 % to the 30.9 % quantile, one sigma of a normal
        // variable (z = -1.5 to -0.5). z is already standardised, only a wider spread matters, and
        // interference only raises z, so an event that fills much of the stratum (a jammer within
        // an hour of the recording's end) does not widen it and hide itself.
        auto& v = by_stratum[k];
        const double spread = quantile_in_place(v, 0.30854) - quantile_in_place(v, 0.066807);
        if (spread > 1.0) factor[k] = spread;
    }
    for (std::size_t e = 0; e < ne; ++e)
        if (!std::isnan(bw.z[e])) bw.z[e] /= factor[stratum[e]];
    measure_correlation(w, bw);
    double flat_centre = 0.0, flat_scale = 1.0;
    standardise(w, bw.flat_raw, bw.flatness, flat_centre, flat_scale);
}

}  // namespace

void standardise_bands(Work& w) {
    const std::vector<std::uint8_t> edge = edge_epochs(w);
    for (BandWork& bw : w.bands)
        if (bw.present) standardise_slot(w, bw, edge);
}

}  // namespace tessora::detector
