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
// A satellite's offset enters the template learned with this many samples of learning behind it
// (an hour and a half of a 30-s track, every third epoch of a rich day learned from).
constexpr std::uint32_t kTemplateOffsetSamples = 60;

// The noise model of a standardised statistic: the excursion tail of its accumulated sum. The
// lower side (the sum of -z) shows the noise alone, since interference only raises the
// degradation; the upper side, without the events found so far, shows noise that only raises it
// (signals lost near the horizon, multipath). Whichever needs the higher threshold stands. A real
// event is one excursion among many and moves neither the quantiles nor the levels fitted.
struct Sides {
    std::vector<double> lower, upper;
    double lower_seconds = 0.0, upper_seconds = 0.0;
    double epoch_decay = 0.0;
};

// The per-epoch tail of z over the ordered epochs [from, to] (the epochs of learning).
SlotNoise noise_of(const Work& w, const std::vector<double>& z, std::size_t from, std::size_t to) {
    SlotNoise n;
    detector::count_epoch_tail(z, &w.excluded, from, to, n);
    return n;
}

// The epochs of z's largest upward excursion, [first, last]; {1, 0} when z never passes the reference.
std::pair<std::size_t, std::size_t> largest_excursion(const Work& w, const std::vector<double>& z) {
    std::pair<std::size_t, std::size_t> best{1, 0};
    double s = 0.0, peak = 0.0, best_peak = 0.0;
    std::size_t first = SIZE_MAX, last = SIZE_MAX;
    const auto close = [&] {
        if (first != SIZE_MAX && peak > best_peak) {
            best_peak = peak;
            best = {first, last};
        }
        s = peak = 0.0;
        first = SIZE_MAX;
    };
    for (std::size_t e = 0; e < z.size(); ++e) {
        if (std::isnan(z[e]) || w.excluded[e]) continue;
        s = std::max(0.0, s + z[e] - detector::kReference);
        if (s == 0.0) {
            close();
            continue;
        }
        if (first == SIZE_MAX) first = e;
        last = e;
        peak = std::max(peak, s);
    }
    close();
    return best;
}

// The recording's own noise. With the station's earlier per-epoch tail (`prior`, may be null), the
// tail is that one pooled with the recording's own; where the earlier one shows no epoch beyond
// the reference (a quiet station), the recording's own is counted outside its largest upward
// excursion: that excursion is judged against the noise of everything else, as a day's events
// are against a day of noise.
Sides excursions_of(const Work& w, const std::vector<double>& z, const SlotNoise* prior) {
    SlotNoise n;
    if (prior && prior->at < 2.0) {
        const auto [first, last] = largest_excursion(w, z);
        if (first > 0) detector::count_epoch_tail(z, &w.excluded, 0, first - 1, n);
        detector::count_epoch_tail(z, &w.excluded, last + 1, SIZE_MAX, n);
    } else {
        n = noise_of(w, z, 0, SIZE_MAX);
    }
    if (prior) {
        n.near += prior->near;
        n.at += prior->at;
        n.beyond += prior->beyond;
    }
    Sides s;
    s.epoch_decay = detector::epoch_tail_decay(n);
    s.lower = detector::excursion_maxima(w, z, -1.0, nullptr, s.lower_seconds);
    s.upper = detector::excursion_maxima(w, z, 1.0, &w.excluded, s.upper_seconds);
    return s;
}

detector::Tail noise_tail(const Sides& s, double per_test, double pooled) {
    const detector::Tail lower = detector::fit_tail(s.lower, s.lower_seconds, s.epoch_decay, pooled);
    const detector::Tail upper = detector::fit_tail(s.upper, s.upper_seconds, s.epoch_decay, pooled);
    return detector::level_for_rate(upper, per_test) > detector::level_for_rate(lower, per_test) ? upper : lower;
}

// The tail decay of every slot's excursions pooled, each side apart.
double pooled_decay(const std::vector<Sides>& sides) {
    std::vector<std::vector<double>> all;
    for (const Sides& s : sides) {
        all.push_back(s.lower);
        all.push_back(s.upper);
    }
    return detector::pooled_tail_decay(all);
}

bool has_values(const std::vector<double>& v) {
    return std::any_of(v.begin(), v.end(), [](double x) { return !std::isnan(x); });
}

// The evidence thresholds: the stated false-alarm rate per day, spread evenly over every test that
// can open an event (the degradation of each slot that opens events, the flatness of each band
// with an elevation pattern), each at the level its noise model reaches at that rate.
void set_thresholds(Work& w, const std::vector<SlotNoise>* history) {
    std::size_t tests = 0;
    std::vector<std::size_t> slots, flat_slots;
    for (std::size_t slot = 0; slot < detector::kSlots; ++slot) {
        const detector::BandWork& bw = w.bands[slot];
        if (!bw.present) continue;
        slots.push_back(slot);
        const bool flat = !detector::is_baseline_slot(slot) && has_values(bw.flatness);
        if (flat) flat_slots.push_back(slot);
        if (bw.triggers) tests += 1 + flat;
    }
    const double per_test = w.false_alarms_per_day / static_cast<double>(std::max<std::size_t>(tests, 1));
    std::vector<Sides> sides, flat_sides;
    const bool pooled_in = history && history->size() == detector::kSlots;
    for (std::size_t slot : slots) sides.push_back(excursions_of(w, w.bands[slot].z, pooled_in ? &(*history)[slot] : nullptr));
    for (std::size_t slot : flat_slots) flat_sides.push_back(excursions_of(w, w.bands[slot].flatness, nullptr));
    const double pooled = pooled_decay(sides), flat_pooled = pooled_decay(flat_sides);
    w.trigger = kNaN;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        detector::BandWork& bw = w.bands[slots[i]];
        bw.tail = noise_tail(sides[i], per_test, pooled);
        bw.evidence = detector::level_for_rate(bw.tail, per_test);
        // A single epoch alone needs the threshold above the reference.
        bw.trigger = bw.evidence + detector::kReference;
        if (bw.triggers && (std::isnan(w.trigger) || bw.evidence < w.trigger)) w.trigger = bw.evidence;
    }
    for (std::size_t i = 0; i < flat_slots.size(); ++i) {
        detector::BandWork& bw = w.bands[flat_slots[i]];
        bw.flat_tail = noise_tail(flat_sides[i], per_test, flat_pooled);
        bw.flat_evidence = detector::level_for_rate(bw.flat_tail, per_test);
    }
    if (std::isnan(w.trigger)) w.trigger = 0.0;
}

// A pass: expectations (unless `relearn` is false), degradation, noise models, thresholds, events.
// `relearn` false keeps the expectations and degradation series of the pass before.
std::vector<detector::FoundEvent> run_pass(Work& w, const DetectorOptions& options, bool relearn) {
    if (relearn) {
        detector::learn_template(w);
        detector::form_expectations(w);
        detector::measure_degradation(w);
    }
    detector::standardise_bands(w);
    set_thresholds(w, options.noise_history);
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
        s.trigger_sigma = bw.evidence;
        s.threshold_db = options.threshold_db ? *options.threshold_db : bw.centre + bw.trigger * bw.noise;
        s.statistic = bw.z;
        s.tail_level = bw.tail.level;
        s.tail_decay = bw.tail.decay;
        s.tail_rate = bw.tail.rate * 86400.0;
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

CN0Template template_of(const Work& w) {
    CN0Template t = w.templ;
    t.station = w.obs->marker_name;
    // The satellites' offsets the recording itself gave, from enough samples to hold.
    for (SignalTemplate& s : t.signals) s.offsets.clear();
    for (const detector::Track& k : w.tracks) {
        const std::int32_t ti = w.signals[k.signal].template_index;
        if (ti < 0 || k.offset_samples < kTemplateOffsetSamples) continue;
        // To a thousandth of a dB, far below the noise: the template stays compact.
        const double db = std::round(static_cast<double>(k.offset) * 1000.0) / 1000.0;
        t.signals[static_cast<std::size_t>(ti)].offsets.push_back({w.obs->satellite_names[k.sat], db, k.offset_samples});
    }
    for (SignalTemplate& s : t.signals)
        std::sort(s.offsets.begin(), s.offsets.end(),
                  [](const SatelliteOffset& a, const SatelliteOffset& b) { return a.satellite < b.satellite; });
    if (!w.timestamps.empty()) {
        t.start_time = w.timestamps.front();
        t.end_time = w.timestamps.back();
    }
    std::sort(t.signals.begin(), t.signals.end(), [](const SignalTemplate& a, const SignalTemplate& b) {
        return a.system != b.system ? a.system < b.system : a.code < b.code;
    });
    return t;
}

// The template learned from every epoch, the given one set aside. It changes the work's template
// and offsets: the last step of a detection.
CN0Template learn_own_template(Work& w) {
    w.given = nullptr;
    std::fill(w.excluded.begin(), w.excluded.end(), std::uint8_t{0});
    // The offsets against the final curves, for the template's satellites.
    detector::learn_template(w, true);
    return template_of(w);
}

// Each slot's own noise over the stretch of epochs asked for (texts sort as the times they name).
void fill_noise(const Work& w, const std::pair<std::string, std::string>& span, InterferenceReport& r) {
    const auto& ts = w.timestamps;
    const auto from = static_cast<std::size_t>(std::upper_bound(ts.begin(), ts.end(), span.first) - ts.begin());
    const auto end = static_cast<std::size_t>(std::upper_bound(ts.begin(), ts.end(), span.second) - ts.begin());
    r.noise.assign(detector::kSlots, SlotNoise{});
    if (from >= end) return;
    for (std::size_t slot = 0; slot < detector::kSlots; ++slot)
        if (w.bands[slot].present) r.noise[slot] = noise_of(w, w.bands[slot].z, from, end - 1);
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
    w.false_alarms_per_day = options.false_alarms_per_day;
    r.false_alarms_per_day = options.false_alarms_per_day;
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
    if (!options.known_events.empty()) detector::mark_known(w, options.known_events);
    auto found = run_pass(w, options, true);
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
        found = run_pass(w, options, relearn);
    }

    r.mode = mode_of(w);
    const bool own = options.learn_own && w.given && found.empty() && (r.mode == "elevation" || r.mode == "mixed");
    r.spoofing_judged = std::any_of(w.bands.begin(), w.bands.begin() + kBandCount,
                                    [](const detector::BandWork& bw) { return bw.present && has_values(bw.flatness); });
    r.trigger_sigma = w.trigger;
    for (const auto& f : found) r.events.push_back(f.event);
    fill_series(w, options, r);
    r.cn0_template = template_of(w);
    fill_clouds(w, r);
    if (own) r.own_template = learn_own_template(w);
    if (options.noise_span) fill_noise(w, *options.noise_span, r);
    return r;
}

}  // namespace tessora
