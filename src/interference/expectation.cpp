// The CN0 each sample should have had: the template curve at its elevation plus its satellite's
// offset, or, without an elevation, the satellite's own level around that time.
#include <algorithm>
#include <cmath>

#include "interference/robust.hpp"
#include "interference/steps.hpp"

namespace tessora::detector {

namespace {

// A satellite's own level comes from its values within this many seconds either side (wider
// where too few values remain once the event epochs are left out). A setting or rising
// satellite's CN0 bends slowly enough that a line over half an hour follows it.
constexpr double kBaselineHalfWindow = 900.0;  // s
constexpr double kBaselineWideWindow = 3600.0;
constexpr std::size_t kBaselineValues = 5;

struct TrackSeries {
    std::vector<std::uint32_t> sample;  // sample indices in time order
    std::vector<std::uint32_t> epoch;
};

// The level of `ts` at position i: a polynomial in time (a line, or with `quadratic` a parabola)
// fitted to its values within `half` seconds either side, epochs of learning only, leaving out the
// value at i itself (a value that sets its own expectation ties with it: CN0 is written in steps
// of a quarter or a whole dB). A line follows a rising or setting satellite without lag; a
// parabola also its bend over the wider window used around the epochs of an event. NaN with
// fewer than kBaselineValues values.
double window_level(const Work& w, const TrackSeries& ts, std::size_t i, double half, bool quadratic) {
    const double t = w.seconds[ts.epoch[i]];
    std::size_t a = i;
    while (a > 0 && t - w.seconds[ts.epoch[a - 1]] <= half) --a;
    // Sums of x^k (k = 0..4) and x^k y (k = 0..2), x in units of the half window.
    double sx[5] = {0, 0, 0, 0, 0}, sy[3] = {0, 0, 0};
    bool before = false, after = false;
    for (std::size_t k = a; k < ts.sample.size() && w.seconds[ts.epoch[k]] - t <= half; ++k) {
        if (k == i || w.excluded[ts.epoch[k]]) continue;
        const double x = (w.seconds[ts.epoch[k]] - t) / half, y = w.samples[ts.sample[k]].cn0;
        before |= x < 0.0;
        after |= x > 0.0;
        double p = 1.0;
        for (int d = 0; d < 5; ++d, p *= x) {
            sx[d] += p;
            if (d < 3) sy[d] += p * y;
        }
    }
    const double n = sx[0];
    if (n < kBaselineValues) return kNaN;
    // A parabola through values on one side only (the end of a recording just after an event)
    // runs off beyond them: a line is kept there.
    if (quadratic && before && after) {
        // Normal equations of c0 + c1 x + c2 x^2, solved by Cramer's rule for c0 (the value at x = 0).
        const double m[3][3] = {{sx[0], sx[1], sx[2]}, {sx[1], sx[2], sx[3]}, {sx[2], sx[3], sx[4]}};
        const auto det3 = [](const double a[3][3]) {
            return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                   a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        };
        const double det = det3(m);
        if (std::fabs(det) > 1e-9 * n * n * n) {
            double m0[3][3] = {{sy[0], sx[1], sx[2]}, {sy[1], sx[2], sx[3]}, {sy[2], sx[3], sx[4]}};
            return det3(m0) / det;
        }
    }
    const double spread = sx[2] - sx[1] * sx[1] / n;
    // A flat level when the values hardly spread in time.
    if (!(spread > 1e-6 * n)) return sy[0] / n;
    const double slope = (sy[1] - sx[1] * sy[0] / n) / spread;
    return (sy[0] - slope * sx[1]) / n;
}

// Running sums of a straight-line fit over a sliding window.
struct LineSums {
    double n = 0, st = 0, stt = 0, sy = 0, sty = 0;
    void add(double t, double y, double sign) {
        n += sign;
        st += sign * t;
        stt += sign * t * t;
        sy += sign * y;
        sty += sign * t * y;
    }
    // The line's value at t; NaN with too few values; a flat level when they hardly spread.
    double at(double t) const {
        if (n < kBaselineValues) return kNaN;
        const double spread = stt - st * st / n;
        if (!(spread > 1e-6 * n)) return sy / n;
        const double slope = (sty - st * sy / n) / spread;
        return sy / n + slope * (t - st / n);
    }
};

void baseline_expectations(Work& w, const std::vector<TrackSeries>& series, float Sample::*out) {
    // Whether an epoch's window reaches an excluded epoch, for every ordered epoch at once.
    const std::size_t ne = w.excluded.size();
    std::vector<std::uint32_t> excluded_before(ne + 1, 0);
    for (std::size_t e = 0; e < ne; ++e) excluded_before[e + 1] = excluded_before[e] + w.excluded[e];
    std::vector<std::uint8_t> near(ne, 0);
    if (excluded_before[ne] > 0) {
        std::size_t lo = 0, hi = 0;
        for (std::size_t e = 0; e < ne; ++e) {
            while (w.seconds[e] - w.seconds[lo] > kBaselineHalfWindow) ++lo;
            while (hi < ne && w.seconds[hi] - w.seconds[e] <= kBaselineHalfWindow) ++hi;
            near[e] = excluded_before[hi] > excluded_before[lo];
        }
    }
    for (const TrackSeries& ts : series) {
        const std::size_t n = ts.sample.size();
        const auto time = [&](std::size_t k) { return w.seconds[ts.epoch[k]]; };
        const auto value = [&](std::size_t k) { return static_cast<double>(w.samples[ts.sample[k]].cn0); };
        LineSums sums;
        std::size_t a = 0, b = 0;  // the window [a, b) of positions within the half window
        for (std::size_t i = 0; i < n; ++i) {
            const double t = time(i);
            while (b < n && time(b) - t <= kBaselineHalfWindow) {
                sums.add(time(b), value(b), 1.0);
                ++b;
            }
            while (t - time(a) > kBaselineHalfWindow) {
                sums.add(time(a), value(a), -1.0);
                ++a;
            }
            // Around the epochs of an event the narrow window would see one side only: the wide
            // one reaches clean values on both. Elsewhere the window holds no excluded epoch, and
            // the running sums less the value itself give the line.
            double level = kNaN;
            if (!near[ts.epoch[i]]) {
                LineSums others = sums;
                others.add(t, value(i), -1.0);
                level = others.at(t);
            }
            if (std::isnan(level)) level = window_level(w, ts, i, kBaselineWideWindow, true);
            w.samples[ts.sample[i]].*out = static_cast<float>(level);
        }
    }
}

// Bands where constellations with template expectations and constellations without each hold at
// least this share of the samples have a baseline channel. A smaller share (a few geostationary
// SBAS satellites, which broadcast files seldom carry) rarely makes a median of its own.
constexpr double kMixedShare = 0.2;

void choose_mixed_bands(Work& w) {
    std::array<std::size_t, kBandCount> templated{}, own{};
    for (const Sample& s : w.samples) {
        const Signal& sig = w.signals[w.tracks[s.track].signal];
        const auto b = static_cast<std::size_t>(sig.band);
        if (sig.template_index >= 0 && !std::isnan(s.elevation)) ++templated[b];
        else ++own[b];
    }
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const double n = static_cast<double>(templated[b] + own[b]);
        w.mixed[b] = templated[b] >= kMixedShare * n && own[b] >= kMixedShare * n && n > 0;
    }
}

// Time series of the tracks `wanted`, in time order.
std::vector<TrackSeries> track_series(const Work& w, const std::vector<std::uint8_t>& wanted) {
    std::vector<std::uint32_t> slot(w.tracks.size(), UINT32_MAX);
    std::vector<TrackSeries> series;
    for (std::size_t k = 0; k < w.tracks.size(); ++k)
        if (wanted[k]) {
            slot[k] = static_cast<std::uint32_t>(series.size());
            series.emplace_back();
        }
    for (std::size_t e = 0; e + 1 < w.epoch_begin.size(); ++e)
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i) {
            const std::uint32_t b = slot[w.samples[i].track];
            if (b == UINT32_MAX) continue;
            series[b].sample.push_back(i);
            series[b].epoch.push_back(static_cast<std::uint32_t>(e));
        }
    return series;
}

}  // namespace

void form_expectations(Work& w) {
    choose_mixed_bands(w);
    std::vector<std::uint8_t> needs_baseline(w.tracks.size(), 0), needs_base(w.tracks.size(), 0);
    for (Sample& s : w.samples) {
        const Track& t = w.tracks[s.track];
        const std::int32_t ti = w.signals[t.signal].template_index;
        s.base = static_cast<float>(kNaN);
        if (w.mixed[static_cast<std::size_t>(w.signals[t.signal].band)]) needs_base[s.track] = 1;
        if (ti >= 0 && !std::isnan(s.elevation)) {
            s.expected = static_cast<float>(template_value(w.templ.signals[ti], s.elevation)) + t.offset;
        } else {
            s.expected = static_cast<float>(kNaN);
            needs_baseline[s.track] = 1;
        }
    }
    // Tracks with elevations at some epochs only keep their template expectations there.
    const std::vector<TrackSeries> baseline = track_series(w, needs_baseline);
    if (!baseline.empty()) {
        std::vector<float> keep;
        for (const TrackSeries& ts : baseline)
            for (std::uint32_t i : ts.sample) keep.push_back(w.samples[i].expected);
        baseline_expectations(w, baseline, &Sample::expected);
        std::size_t k = 0;
        for (const TrackSeries& ts : baseline)
            for (std::uint32_t i : ts.sample) {
                if (!std::isnan(keep[k])) w.samples[i].expected = keep[k];
                ++k;
            }
    }
    // The baseline channel: a track that has no template anywhere has its own level already.
    for (std::size_t k = 0; k < w.tracks.size(); ++k) {
        const bool templated = w.signals[w.tracks[k].signal].template_index >= 0;
        if (needs_base[k] && !templated) needs_base[k] = 2;
    }
    std::vector<std::uint8_t> compute(w.tracks.size(), 0);
    for (std::size_t k = 0; k < w.tracks.size(); ++k) compute[k] = needs_base[k] == 1;
    const std::vector<TrackSeries> own = track_series(w, compute);
    if (!own.empty()) baseline_expectations(w, own, &Sample::base);
    for (Sample& s : w.samples)
        if (needs_base[s.track] == 2) s.base = s.expected;
}

}  // namespace tessora::detector
