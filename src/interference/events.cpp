// Events: runs of epochs whose standardised statistic passes the trigger level, held until it
// falls below the release level (hysteresis); runs of different bands that overlap in time form
// one event.
#include <algorithm>
#include <cmath>
#include <map>

#include "common/constellation.hpp"
#include "interference/robust.hpp"
#include "interference/steps.hpp"

namespace tessora::detector {

namespace {

// A run holds across epochs without data (a band whose every signal is lost) unless the gap
// lasts longer than this.
constexpr double kRunGap = 7200.0;  // s
// An event needs this many epochs at or above the release level.
constexpr std::size_t kMinEpochs = 2;
// Spoofing-like: the signals' CN0 no longer follows their expected levels; the regression slope
// of measured on expected CN0 over the run stays below this (1 is an intact elevation pattern,
// 0 one power for all).
constexpr double kFlatSlope = 0.5;
// Epochs learned without, either side of an event of the first pass.
constexpr double kExclusionMargin = 600.0;  // s

struct Run {
    std::size_t band = 0;
    std::size_t first = 0, last = 0;
};

std::vector<Run> runs_of(const Work& w, std::size_t band, const std::vector<double>& stat, double hi, double lo) {
    std::vector<Run> out;
    bool open = false;
    Run run;
    std::size_t above = 0;
    double peak = 0.0;
    const auto close = [&] {
        if (open && peak >= hi && above >= kMinEpochs) out.push_back(run);
        open = false;
    };
    for (std::size_t e = 0; e < stat.size(); ++e) {
        const double v = stat[e];
        if (std::isnan(v)) continue;
        if (open && w.seconds[e] - w.seconds[run.last] > kRunGap) close();
        if (v >= lo) {
            if (!open) {
                open = true;
                run = Run{band, e, e};
                above = 0;
                peak = v;
            }
            run.last = e;
            ++above;
            peak = std::max(peak, v);
        } else {
            close();
        }
    }
    close();
    return out;
}

// Groups runs that overlap or touch in time.
std::vector<std::vector<Run>> group_runs(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.first < b.first; });
    std::vector<std::vector<Run>> groups;
    std::size_t end = 0;
    for (const Run& r : runs) {
        if (groups.empty() || r.first > end + 1) {
            groups.emplace_back();
            end = r.last;
        }
        groups.back().push_back(r);
        end = std::max(end, r.last);
    }
    return groups;
}

std::string constellation_name(char letter) {
    return kConstellationNames[static_cast<std::size_t>(constellation_of(letter))].statistics;
}

// Peak of a band's degradation over [first, last]: the largest running median over a tenth of
// the event (three epochs at least, within the event), so that noisy epochs do not set it, a
// long event's no more than a short one's. Returns (value, epoch).
std::pair<double, std::size_t> band_peak(const BandWork& bw, std::size_t first, std::size_t last) {
    double best = kNaN;
    std::size_t at = first;
    const std::size_t half = std::max<std::size_t>(1, (last - first + 1) / 20);
    std::vector<double> window;
    for (std::size_t e = first; e <= last; ++e) {
        if (std::isnan(bw.degradation[e])) continue;
        window.clear();
        for (std::size_t k = e >= first + half ? e - half : first; k <= e + half && k <= last; ++k)
            if (!std::isnan(bw.degradation[k])) window.push_back(bw.degradation[k]);
        const double m = median_in_place(window);
        if (std::isnan(best) || m > best) {
            best = m;
            at = e;
        }
    }
    return {best, at};
}

double mean_over(const std::vector<double>& v, std::size_t first, std::size_t last) {
    double sum = 0.0;
    std::size_t n = 0;
    for (std::size_t e = first; e <= last; ++e)
        if (!std::isnan(v[e])) {
            sum += v[e];
            ++n;
        }
    return n ? sum / static_cast<double>(n) : kNaN;
}

double max_over(const std::vector<double>& v, std::size_t first, std::size_t last) {
    double m = kNaN;
    for (std::size_t e = first; e <= last; ++e)
        if (!std::isnan(v[e]) && (std::isnan(m) || v[e] > m)) m = v[e];
    return m;
}

// Satellites of the affected bands whose own residual over the event reaches half the band's
// degradation, and those lost in the affected bands; both as identifier texts, ascending.
void fill_satellites(const Work& w, std::size_t first, std::size_t last, const std::vector<std::size_t>& bands,
                     InterferenceEvent& ev) {
    std::array<bool, kBandCount> affected{};
    for (std::size_t b : bands) affected[b] = true;
    std::map<std::pair<std::uint32_t, std::size_t>, std::vector<double>> residuals;  // (sat, band)
    for (std::size_t e = first; e <= last; ++e)
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i) {
            const Sample& s = w.samples[i];
            const auto b = static_cast<std::size_t>(w.signals[w.tracks[s.track].signal].band);
            if (affected[b] && !std::isnan(s.expected)) residuals[{w.tracks[s.track].sat, b}].push_back(s.expected - s.cn0);
        }
    std::vector<std::string> hit, lost;
    for (auto& [key, r] : residuals) {
        std::vector<double> band_d;
        for (std::size_t e = first; e <= last; ++e)
            if (!std::isnan(w.bands[key.second].degradation[e])) band_d.push_back(w.bands[key.second].degradation[e]);
        const double level = median_in_place(band_d);
        if (median_in_place(r) >= 0.5 * level) hit.push_back(w.obs->satellite_names[key.first]);
    }
    const auto lo = std::lower_bound(w.lost.begin(), w.lost.end(), std::make_pair(static_cast<std::uint32_t>(first), 0u));
    for (auto it = lo; it != w.lost.end() && it->first <= last; ++it) {
        const Track& t = w.tracks[it->second];
        if (affected[static_cast<std::size_t>(w.signals[t.signal].band)]) lost.push_back(w.obs->satellite_names[t.sat]);
    }
    for (auto* v : {&hit, &lost}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    std::vector<std::string> all = hit;
    all.insert(all.end(), lost.begin(), lost.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    std::vector<std::string> systems;
    for (const std::string& s : all)
        if (!s.empty()) systems.push_back(constellation_name(s[0]));
    std::sort(systems.begin(), systems.end());
    systems.erase(std::unique(systems.begin(), systems.end()), systems.end());
    ev.satellites_affected = std::move(all);
    ev.satellites_lost = std::move(lost);
    ev.systems = std::move(systems);
}

FoundEvent make_event(const Work& w, std::size_t first, std::size_t last, const std::vector<std::size_t>& bands,
                      bool spoofing) {
    FoundEvent f;
    f.first = first;
    f.last = last;
    InterferenceEvent& ev = f.event;
    ev.start = w.timestamps[first];
    ev.end = w.timestamps[last];
    ev.duration = w.seconds[last] - w.seconds[first];
    double peak = kNaN;
    std::size_t peak_epoch = first;
    for (std::size_t b : bands) {
        const BandWork& bw = w.bands[b];
        const auto [value, at] = band_peak(bw, first, last);
        ev.bands.emplace_back(band_name(static_cast<Band>(b)));
        ev.degradation_db.push_back(BandDegradation{ev.bands.back(), value});
        if (!std::isnan(value) && (std::isnan(peak) || value > peak)) {
            peak = value;
            peak_epoch = at;
        }
        const double stat = max_over(spoofing ? bw.flatness : bw.z, first, last);
        if (!std::isnan(stat) && (ev.statistic == 0.0 || stat > ev.statistic)) ev.statistic = stat;
    }
    ev.peak_degradation_db = std::isnan(peak) ? 0.0 : peak;
    ev.peak_time = w.timestamps[peak_epoch];
    fill_satellites(w, first, last, bands, ev);
    if (spoofing) {
        ev.kind = "spoofing-like";
        ev.satellites_lost.clear();
        return f;
    }
    // Wideband: every band tracked then is affected. The bands that open events stand for the
    // spectrum; those one constellation has to itself may miss a weak event without saying that
    // the jammer spared them.
    std::array<bool, kBandCount> affected{};
    for (std::size_t b : bands) affected[b] = true;
    bool every = true;
    for (std::size_t b = 0; b < kBandCount; ++b)
        if (w.bands[b].triggers && !affected[b] && !std::isnan(mean_over(w.bands[b].degradation, first, last)))
            every = false;
    ev.kind = every ? "wideband" : "band-limited";
    return f;
}

// Bands affected over [first, last]: those with a run there, and those whose standardised
// degradation averages the release level over it.
std::vector<std::size_t> affected_bands(const Work& w, std::size_t first, std::size_t last, const std::vector<Run>& runs) {
    std::vector<std::size_t> out;
    for (std::size_t b = 0; b < kBandCount; ++b) {
        bool hit = false;
        for (const Run& r : runs) hit = hit || r.band == b;
        if (!hit && w.bands[b].present) {
            const double m = mean_over(w.bands[b].z, first, last);
            hit = !std::isnan(m) && m >= w.bands[b].release;
        }
        if (hit) out.push_back(b);
    }
    return out;
}

// Heavy jamming flattens the elevation pattern too, crushing every signal against the receiver's
// floor; a spoofer brings its signals to one power well above it. A flat run during which some
// band lost three quarters of its usual room above the floor is left to the jamming events.
bool jammed(const Work& w, const Run& run) {
    for (const BandWork& bw : w.bands) {
        if (!bw.present || std::isnan(bw.margin)) continue;
        const double level = mean_over(bw.degradation, run.first, run.last);
        if (level >= 0.75 * bw.margin) return true;
    }
    return false;
}

}  // namespace

std::vector<FoundEvent> find_events(const Work& w, const std::optional<double>& threshold_db) {
    std::vector<Run> jam, spoof;
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const BandWork& bw = w.bands[b];
        if (!bw.present) continue;
        const auto r = !bw.triggers ? std::vector<Run>{}
                       : threshold_db ? runs_of(w, b, bw.degradation, *threshold_db, *threshold_db / 2)
                                    : runs_of(w, b, bw.z, bw.trigger, bw.release);
        jam.insert(jam.end(), r.begin(), r.end());
        for (const Run& run : runs_of(w, b, bw.flatness, bw.flat_trigger, bw.flat_release)) {
            const double slope = mean_over(bw.slope, run.first, run.last);
            if (bw.triggers && !std::isnan(slope) && slope < kFlatSlope && !jammed(w, run)) spoof.push_back(run);
        }
    }
    std::vector<FoundEvent> out;
    const auto spoof_groups = group_runs(spoof);
    for (const auto& g : group_runs(jam)) {
        std::size_t first = g.front().first, last = g.front().last;
        for (const Run& r : g) last = std::max(last, r.last);
        // Signals brought to one power shift the band's level as well: a spoofing-like window of
        // the bands that degraded, over most of the degradation, explains it.
        std::array<bool, kBandCount> degraded{};
        for (const Run& r : g) degraded[r.band] = true;
        std::size_t flat = 0;
        for (std::size_t e = first; e <= last; ++e) {
            bool inside = false;
            for (const auto& sg : spoof_groups)
                for (const Run& r : sg) inside = inside || (degraded[r.band] && r.first <= e && e <= r.last);
            flat += inside;
        }
        if (2 * flat <= last - first + 1) out.push_back(make_event(w, first, last, affected_bands(w, first, last, g), false));
    }
    for (const auto& g : spoof_groups) {
        std::size_t first = g.front().first, last = g.front().last;
        std::vector<std::size_t> bands;
        for (const Run& r : g) {
            last = std::max(last, r.last);
            bands.push_back(r.band);
        }
        std::sort(bands.begin(), bands.end());
        bands.erase(std::unique(bands.begin(), bands.end()), bands.end());
        out.push_back(make_event(w, first, last, bands, true));
    }
    std::stable_sort(out.begin(), out.end(), [](const FoundEvent& a, const FoundEvent& b) { return a.first < b.first; });
    return out;
}

void exclude_events(Work& w, const std::vector<FoundEvent>& events) {
    for (const FoundEvent& f : events) {
        const double from = w.seconds[f.first] - kExclusionMargin, to = w.seconds[f.last] + kExclusionMargin;
        for (std::size_t e = 0; e < w.order.size(); ++e)
            if (w.seconds[e] >= from && w.seconds[e] <= to) w.excluded[e] = 1;
    }
}

}  // namespace tessora::detector
