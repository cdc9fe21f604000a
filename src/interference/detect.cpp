#include "interference/detect.hpp"

#include <algorithm>
#include <cmath>

#include "interference/robust.hpp"
#include "interference/steps.hpp"
#include "navigation/geometry.hpp"
#include "visibility/sky_geometry.hpp"

namespace tessora {

namespace {

using detector::Work;

// Passes at most: the first, and those that learn without the events found so far.
constexpr int kMaxPasses = 4;
// Points of a band's data cloud kept for plotting.
constexpr std::size_t kCloudPoints = 2000;

// Tail of a standardised statistic on the recording: an exponential tail fitted between two of
// its upper quantiles and carried out to probability alpha / tests. Real statistics have heavier
// tails than normal noise (multipath repeats, a few satellites near the horizon), and the fit
// measures by how much on this recording. The fit uses the 99th and 99.9th percentiles when a
// thousand values allow it, else the 90th and 99th; NaN below a hundred values.
double one_tail(std::vector<double>& v, double tests) {
    if (v.size() < 100) return kNaN;
    const double p = v.size() >= 1000 ? 0.001 : 0.01;
    const double lower = quantile_in_place(v, 1.0 - 10 * p), upper = quantile_in_place(v, 1.0 - p);
    const double decay = std::max(upper - lower, 0.0) / std::log(10.0);
    return upper + decay * std::log(p * tests / kFalseAlarmProbability);
}

// The larger of the upper tail and the mirrored lower tail. Interference only raises the
// statistic, so its lower tail shows the noise alone, even where the events of the first pass,
// left out of the upper tail, took the heaviest noise with them.
double tail_level(const Work& w, const std::vector<double>& z, double tests) {
    std::vector<double> up, down;
    for (std::size_t e = 0; e < z.size(); ++e) {
        if (std::isnan(z[e])) continue;
        if (!w.excluded[e]) up.push_back(z[e]);
        down.push_back(-z[e]);
    }
    const double a = one_tail(up, tests), b = one_tail(down, tests);
    if (std::isnan(a)) return b;
    return std::isnan(b) ? a : std::max(a, b);
}

// Trigger and release levels of every band: the normal quantile of the false-alarm probability
// spread over all (band, epoch) tests, raised to the band's own tail where that is heavier.
void set_thresholds(Work& w, bool with_tails) {
    std::size_t tests = 0;
    for (const auto& bw : w.bands)
        for (double z : bw.z) tests += !std::isnan(z);
    const double n = static_cast<double>(std::max<std::size_t>(tests, 1));
    w.trigger = normal_upper_quantile(kFalseAlarmProbability / n);
    for (auto& bw : w.bands) {
        if (!bw.present) continue;
        const double tail = with_tails ? tail_level(w, bw.z, n) : kNaN;
        const double flat_tail = with_tails ? tail_level(w, bw.flatness, n) : kNaN;
        bw.trigger = std::isnan(tail) ? w.trigger : std::max(w.trigger, tail);
        bw.flat_trigger = std::isnan(flat_tail) ? w.trigger : std::max(w.trigger, flat_tail);
        bw.release = 0.5 * bw.trigger;
        bw.flat_release = 0.5 * bw.flat_trigger;
    }
}

// A pass; the first sets its levels from normal noise alone, since a long event would weigh on
// the tail of its statistics, and the second fits the tails without the first pass's events.
// `relearn` false keeps the expectations and degradation series of the pass before.
std::vector<detector::FoundEvent> run_pass(Work& w, const DetectorOptions& options, bool with_tails, bool relearn) {
    if (relearn) {
        detector::learn_template(w);
        detector::form_expectations(w);
        detector::measure_degradation(w);
    }
    detector::standardise_bands(w);
    set_thresholds(w, with_tails);
    return detector::find_events(w, options.threshold_db);
}

std::string mode_of(const Work& w) {
    std::size_t from_template = 0, from_baseline = 0;
    for (const detector::Sample& s : w.samples) {
        if (std::isnan(s.expected)) continue;
        const std::int32_t ti = w.signals[w.tracks[s.track].signal].template_index;
        if (ti >= 0 && !std::isnan(s.elevation)) ++from_template;
        else ++from_baseline;
    }
    if (from_template && from_baseline) return "mixed";
    return from_template ? "elevation" : "baseline";
}

void fill_series(const Work& w, const DetectorOptions& options, InterferenceReport& r) {
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const detector::BandWork& bw = w.bands[b];
        if (!bw.present) continue;
        BandSeries s;
        s.band = std::string(band_name(static_cast<Band>(b)));
        s.degradation = bw.degradation;
        s.tracked = bw.tracked;
        s.lost = bw.lost;
        s.noise_db = bw.noise;
        s.trigger_sigma = bw.trigger;
        s.threshold_db = options.threshold_db ? *options.threshold_db : bw.centre + bw.trigger * bw.noise;
        r.series.push_back(std::move(s));
    }
}

void fill_clouds(const Work& w, InterferenceReport& r) {
    std::array<std::size_t, kBandCount> count{};
    for (const detector::Sample& s : w.samples)
        if (!std::isnan(s.elevation)) ++count[static_cast<std::size_t>(w.signals[w.tracks[s.track].signal].band)];
    std::array<BandCloud, kBandCount> clouds;
    std::array<std::size_t, kBandCount> skip{};  // samples to pass over before the next point
    for (const detector::Sample& s : w.samples) {
        if (std::isnan(s.elevation)) continue;
        const auto b = static_cast<std::size_t>(w.signals[w.tracks[s.track].signal].band);
        if (skip[b]-- > 0) continue;
        skip[b] = count[b] / kCloudPoints;
        clouds[b].elevation.push_back(s.elevation);
        clouds[b].cn0.push_back(s.cn0);
    }
    for (std::size_t b = 0; b < kBandCount; ++b) {
        if (clouds[b].cn0.empty()) continue;
        clouds[b].band = std::string(band_name(static_cast<Band>(b)));
        r.clouds.push_back(std::move(clouds[b]));
    }
}

void fill_template(const Work& w, InterferenceReport& r) {
    CN0Template t = w.templ;
    t.station = w.obs->marker_name;
    if (!w.timestamps.empty()) {
        t.start_time = w.timestamps.front();
        t.end_time = w.timestamps.back();
    }
    std::sort(t.signals.begin(), t.signals.end(), [](const SignalTemplate& a, const SignalTemplate& b) {
        return a.system != b.system ? a.system < b.system : a.code < b.code;
    });
    r.cn0_template = std::move(t);
}

std::size_t epochs_with_samples(const Work& w) {
    std::size_t n = 0;
    for (std::size_t e = 0; e + 1 < w.epoch_begin.size(); ++e) n += w.epoch_begin[e + 1] > w.epoch_begin[e];
    return n;
}

}  // namespace

InterferenceReport detect_interference(const RinexObsData& obs, const NavigationData* nav, const DetectorOptions& options) {
    InterferenceReport r;
    r.station = obs.marker_name;
    if (obs.approx_position && usable_receiver_position(*obs.approx_position)) {
        const auto& p = *obs.approx_position;
        const Geodetic g = ecef_to_geodetic(p[0], p[1], p[2]);
        r.latitude = g.lat_deg;
        r.longitude = g.lon_deg;
    }
    r.threshold_db = options.threshold_db;
    r.epochs = obs.epochs.size();
    r.mode = "none";

    Work w;
    w.obs = &obs;
    w.min_elevation = options.min_elevation;
    w.given = options.cn0_template;
    detector::collect_samples(w, nav, options.systems);
    r.timestamps = w.timestamps;
    r.signals = w.tracks.size();
    const std::size_t usable = epochs_with_samples(w);
    if (obs.epochs.empty()) {
        r.reason = "the recording has no epochs";
        return r;
    }
    if (w.samples.empty()) {
        r.reason = options.systems.empty() ? "the recording has no CN0 observations"
                                           : "the recording has no CN0 observations of the selected systems";
        return r;
    }
    if (usable < kMinDetectorEpochs) {
        r.reason = "the recording is too short: " + std::to_string(usable) + " epochs with CN0, at least " +
                   std::to_string(kMinDetectorEpochs) + " are needed";
        return r;
    }

    // First pass on every epoch; the later ones learn again without the events found so far, so
    // that a long event does not pull the expectations towards itself (a satellite's own level
    // follows it within minutes), until the events stop growing.
    auto found = run_pass(w, options, false, true);
    std::size_t excluded = 0;
    for (int pass = 1; pass < kMaxPasses && !found.empty(); ++pass) {
        const std::vector<std::uint8_t> before = w.excluded;
        detector::exclude_events(w, found);
        std::size_t now = 0;
        for (std::uint8_t x : w.excluded) now += x;
        // Learning needs most of the recording: events over more than half of it stand as found.
        if (2 * now > w.excluded.size()) {
            w.excluded = before;
            break;
        }
        if (pass > 1 && now == excluded) break;
        w.second_pass = true;
        // Medians learned without under one percent more of the epochs move by less than their
        // noise: then only the noise and the levels are measured again.
        const bool relearn = 100 * (now - excluded) > w.excluded.size();
        excluded = now;
        found = run_pass(w, options, true, relearn);
    }

    r.mode = mode_of(w);
    r.trigger_sigma = w.trigger;
    for (const auto& f : found) r.events.push_back(f.event);
    fill_series(w, options, r);
    fill_template(w, r);
    fill_clouds(w, r);
    return r;
}

}  // namespace tessora
