// The CN0 each sample should have had: the template curve at its elevation plus its satellite's
// offset, or, without an elevation, the satellite's own level around that time.
#include <cmath>

#include "interference/robust.hpp"
#include "interference/steps.hpp"

namespace tessora::detector {

namespace {

// A satellite's own level is the median of its values within this many seconds either side
// (wider where too few values remain once the event epochs are left out). A setting or rising
// satellite's CN0 bends slowly enough that a centred median over half an hour follows it.
constexpr double kBaselineHalfWindow = 900.0;  // s
constexpr double kBaselineWideWindow = 3600.0;
constexpr std::size_t kBaselineValues = 5;

struct TrackSeries {
    std::vector<std::uint32_t> sample;  // sample indices in time order
    std::vector<std::uint32_t> epoch;
};

// Median of the values of `ts` within `half` seconds of position i, epochs of learning only,
// leaving out the value at i itself: a value that sets its own expectation ties with it (CN0 is
// written in steps of a quarter or a whole dB), and the ties would shrink the noise measured.
double window_median(const Work& w, const TrackSeries& ts, std::size_t i, double half, std::vector<float>& scratch) {
    scratch.clear();
    const double t = w.seconds[ts.epoch[i]];
    std::size_t a = i;
    while (a > 0 && t - w.seconds[ts.epoch[a - 1]] <= half) --a;
    for (std::size_t k = a; k < ts.sample.size() && w.seconds[ts.epoch[k]] - t <= half; ++k)
        if (k != i && !w.excluded[ts.epoch[k]]) scratch.push_back(w.samples[ts.sample[k]].cn0);
    return scratch.size() >= kBaselineValues ? median_in_place(scratch) : kNaN;
}

void baseline_expectations(Work& w, const std::vector<TrackSeries>& series) {
    std::vector<float> scratch;
    for (const TrackSeries& ts : series) {
        for (std::size_t i = 0; i < ts.sample.size(); ++i) {
            double level = window_median(w, ts, i, kBaselineHalfWindow, scratch);
            if (std::isnan(level)) level = window_median(w, ts, i, kBaselineWideWindow, scratch);
            w.samples[ts.sample[i]].expected = static_cast<float>(level);
        }
    }
}

}  // namespace

void form_expectations(Work& w) {
    std::vector<std::uint8_t> needs_baseline(w.tracks.size(), 0);
    const std::size_t ne = w.order.size();
    for (Sample& s : w.samples) {
        const Track& t = w.tracks[s.track];
        const std::int32_t ti = w.signals[t.signal].template_index;
        if (ti >= 0 && !std::isnan(s.elevation)) {
            s.expected = static_cast<float>(template_value(w.templ.signals[ti], s.elevation)) + t.offset;
        } else {
            s.expected = static_cast<float>(kNaN);
            needs_baseline[s.track] = 1;
        }
    }
    // The series of the tracks that need their own level somewhere; tracks with elevations at
    // some epochs only keep their template expectations there.
    std::vector<std::uint32_t> slot(w.tracks.size(), UINT32_MAX);
    std::vector<TrackSeries> baseline;
    for (std::size_t k = 0; k < w.tracks.size(); ++k)
        if (needs_baseline[k]) {
            slot[k] = static_cast<std::uint32_t>(baseline.size());
            baseline.emplace_back();
        }
    if (baseline.empty()) return;
    for (std::size_t e = 0; e < ne; ++e)
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i) {
            const std::uint32_t b = slot[w.samples[i].track];
            if (b == UINT32_MAX) continue;
            baseline[b].sample.push_back(i);
            baseline[b].epoch.push_back(static_cast<std::uint32_t>(e));
        }
    std::vector<float> keep;
    for (const TrackSeries& ts : baseline)
        for (std::uint32_t i : ts.sample) keep.push_back(w.samples[i].expected);
    baseline_expectations(w, baseline);
    std::size_t k = 0;
    for (const TrackSeries& ts : baseline)
        for (std::uint32_t i : ts.sample) {
            if (!std::isnan(keep[k])) w.samples[i].expected = keep[k];
            ++k;
        }
}

}  // namespace tessora::detector
