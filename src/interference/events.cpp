// Events: stretches where a band's accumulated evidence passes its threshold (or, with a fixed
// threshold in dB, runs of the degradation held until it falls below half of it); stretches of
// different bands that overlap in time form one event, and every band that degraded significantly
// over it is one of its bands.
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
// Spoofing-like: the signals' CN0 no longer follows their expected levels; the regression slope
// of measured on expected CN0 over the run stays below this (1 is an intact elevation pattern,
// 0 one power for all).
constexpr double kFlatSlope = 0.5;
// ... and the measured CN0 spreads across the satellites less than this share of their expected
// levels' spread (a pattern merely bent, some satellites dropping, keeps its spread).
constexpr double kFlatSpread = 0.5;
// One transmitter shows over minutes, on enough satellites to tell, away from the recording's
// ends (where expectations are one-sided), and without a large drop: signals crushed against the
// receiver's floor by a strong jammer look as flat as spoofed ones.
constexpr double kSpoofMinSeconds = 180.0;
constexpr std::size_t kSpoofMinEpochs = 3;
constexpr double kSpoofMinSignals = 5.0;
constexpr double kSpoofEdgeSeconds = 600.0;
constexpr double kSpoofMaxDrop = 3.0;  // dB
// Probability that a band joins an event by chance, spread over the bands judged.
constexpr double kBandFalseJoin = 0.01;
constexpr double kMaterialShare = 1.0 / 3.0;

// A stretch of one slot (see steps.hpp) that opens an event.
struct Run {
    std::size_t band = 0;  // the slot
    std::size_t first = 0, last = 0;
    double evidence = 0.0;
};

std::vector<Run> runs_of(const Work& w, std::size_t band, const std::vector<double>& stat, double hi, double lo) {
    std::vector<Run> out;
    bool open = false;
    Run run;
    std::size_t above = 0;
    double peak = 0.0;
    const auto close = [&] {
        if (open && peak >= hi && above >= kMinEventEpochs) out.push_back(run);
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
            run.evidence = peak;
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
std::pair<double, std::size_t> slot_peak(const BandWork& bw, std::size_t first, std::size_t last) {
    double best = kNaN;
    std::size_t at = first;
    const std::size_t half = std::max<std::size_t>(1, (last - first + 1) / 20);
    std::vector<double> window;
    for (std::size_t e = first; e <= last; ++e) {
        if (std::isnan(bw.degradation[e])) continue;
        window.clear();
        for (std::size_t k = e >= first + half ? e - half : first; k <= e + half && k <= last; ++k)
            if (!std::isnan(bw.degradation[k])) window.push_back(bw.degradation[k] - bw.centre);
        const double m = median_in_place(window);
        if (std::isnan(best) || m > best) {
            best = m;
            at = e;
        }
    }
    return {best, at};
}

// The band's peak over its channels: the degradation against the band's usual level.
std::pair<double, std::size_t> band_peak(const Work& w, std::size_t band, std::size_t first, std::size_t last) {
    std::pair<double, std::size_t> best{kNaN, first};
    for (std::size_t slot : {band, band + kBandCount}) {
        if (!w.bands[slot].present) continue;
        const auto p = slot_peak(w.bands[slot], first, last);
        if (!std::isnan(p.first) && (std::isnan(best.first) || p.first > best.first)) best = p;
    }
    return best;
}

// How strongly the band degraded over [first, last], the larger over its channels, in units of
// its noise for a mean over that many epochs.
double band_score(const Work& w, std::size_t band, std::size_t first, std::size_t last) {
    double best = kNaN;
    for (std::size_t slot : {band, band + kBandCount}) {
        if (!w.bands[slot].present) continue;
        const double s = span_score(w.bands[slot], first, last);
        if (!std::isnan(s) && (std::isnan(best) || s > best)) best = s;
    }
    return best;
}

// Whether the band had data on at least half of the epochs of [first, last].
bool tracked_over(const Work& w, std::size_t band, std::size_t first, std::size_t last) {
    const BandWork& bw = w.bands[band];
    if (!bw.present) return false;
    std::size_t with = 0;
    for (std::size_t e = first; e <= last; ++e) with += !std::isnan(bw.degradation[e]);
    return 2 * with >= last - first + 1;
}

// The level of band_score at which a band joins an event.
double join_level(const Work& w) {
    std::size_t bands = 0;
    for (std::size_t b = 0; b < kBandCount; ++b) bands += w.bands[b].present;
    return normal_upper_quantile(kBandFalseJoin / static_cast<double>(std::max<std::size_t>(bands, 1)));
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
                      bool spoofing, double evidence) {
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
        const auto [value, at] = band_peak(w, b, first, last);
        ev.bands.emplace_back(band_name(static_cast<Band>(b)));
        ev.degradation_db.push_back(BandDegradation{ev.bands.back(), value});
        if (!std::isnan(value) && (std::isnan(peak) || value > peak)) {
            peak = value;
            peak_epoch = at;
        }
    }
    ev.statistic = evidence;
    ev.peak_degradation_db = std::isnan(peak) ? 0.0 : peak;
    ev.peak_time = w.timestamps[peak_epoch];
    fill_satellites(w, first, last, bands, ev);
    if (spoofing) {
        ev.kind = "spoofing-like";
        ev.satellites_lost.clear();
        return f;
    }
    // Wideband: every band tracked then fell with the rest.
    std::array<bool, kBandCount> affected{};
    for (std::size_t b : bands) affected[b] = true;
    bool every = true;
    for (std::size_t b = 0; b < kBandCount; ++b)
        if (!affected[b] && tracked_over(w, b, first, last)) every = false;
    ev.kind = every ? "wideband" : "band-limited";
    return f;
}

// The band's mean degradation over [first, last] against its usual level, the larger over its
// channels.
double band_drop(const Work& w, std::size_t band, std::size_t first, std::size_t last) {
    double best = kNaN;
    for (std::size_t slot : {band, band + kBandCount}) {
        const BandWork& bw = w.bands[slot];
        if (!bw.present) continue;
        double sum = 0.0;
        std::size_t n = 0;
        for (std::size_t e = first; e <= last; ++e)
            if (!std::isnan(bw.degradation[e])) {
                sum += bw.degradation[e] - bw.centre;
                ++n;
            }
        if (n && (std::isnan(best) || sum / static_cast<double>(n) > best)) best = sum / static_cast<double>(n);
    }
    return best;
}

// Bands affected over [first, last]: those with a stretch of their own there, and those whose
// degradation over it stands out of their own noise and is a material part of the event (at
// least a third of the drop of the band that fell most): a jammer in one part of the spectrum
// leaks a few tenths of a dB into its neighbours.
std::vector<std::size_t> affected_bands(const Work& w, std::size_t first, std::size_t last, const std::vector<Run>& runs) {
    std::vector<std::size_t> out;
    std::array<bool, kBandCount> opened{};
    for (const Run& r : runs) opened[slot_band(r.band)] = true;
    double largest = 0.0;
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const double d = opened[b] ? band_drop(w, b, first, last) : kNaN;
        if (!std::isnan(d)) largest = std::max(largest, d);
    }
    const double level = join_level(w);
    for (std::size_t b = 0; b < kBandCount; ++b) {
        bool hit = opened[b];
        if (!hit) {
            const double score = band_score(w, b, first, last), drop = band_drop(w, b, first, last);
            hit = !std::isnan(score) && score >= level && drop >= kMaterialShare * largest;
        }
        if (hit) out.push_back(b);
    }
    return out;
}

std::size_t epochs_above(const std::vector<double>& z, std::size_t first, std::size_t last, double level) {
    std::size_t n = 0;
    for (std::size_t e = first; e <= last; ++e) n += !std::isnan(z[e]) && z[e] >= level;
    return n;
}

// The stretches of accumulated degradation of every slot that opens events.
std::vector<Run> jamming_runs(const Work& w, const std::optional<double>& threshold_db) {
    std::vector<Run> out;
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        const BandWork& bw = w.bands[slot];
        if (!bw.present || !bw.triggers) continue;
        if (threshold_db) {
            for (const Run& r : runs_of(w, slot, bw.degradation, *threshold_db, *threshold_db / 2)) out.push_back(r);
            continue;
        }
        for (const Segment& s : evidence_segments(w, bw.z, bw.evidence))
            if (epochs_above(bw.z, s.first, s.last, kReference) >= kMinEventEpochs)
                out.push_back(Run{slot, s.first, s.last, s.evidence});
    }
    return out;
}

// A flat stretch of a band is spoofing-like on its own evidence: the elevation pattern collapsed
// (slope below kFlatSlope) for minutes, on enough signals, away from the recording's ends, with
// no large drop; the evidence needed halves where the CN0 rose above its expectation.
bool spoofing_window(const Work& w, std::size_t band, const Segment& s) {
    const BandWork& bw = w.bands[band];
    const std::size_t ne = w.order.size();
    if (w.seconds[s.first] < kSpoofEdgeSeconds || w.seconds[ne - 1] - w.seconds[s.last] < kSpoofEdgeSeconds) return false;
    if (w.seconds[s.last] - w.seconds[s.first] < kSpoofMinSeconds) return false;
    double slopes = 0.0, signals = 0.0, spreads = 0.0;
    std::size_t n = 0;
    for (std::size_t e = s.first; e <= s.last; ++e)
        if (!std::isnan(bw.slope[e])) {
            slopes += bw.slope[e];
            signals += bw.slope_signals[e];
            spreads += bw.spread[e];
            ++n;
        }
    // One transmitter: the CN0 of the satellites no longer spreads as their expectations do.
    if (n < kSpoofMinEpochs || slopes / static_cast<double>(n) >= kFlatSlope ||
        spreads / static_cast<double>(n) >= kFlatSpread || signals / static_cast<double>(n) < kSpoofMinSignals)
        return false;
    const double drop = band_peak(w, band, s.first, s.last).first;
    if (!(drop <= kSpoofMaxDrop)) return false;
    if (s.evidence >= bw.flat_evidence) return true;
    const double rise = span_score(bw, s.first, s.last);
    return !std::isnan(rise) && -rise >= join_level(w);
}

std::vector<Run> spoofing_runs(const Work& w) {
    std::vector<Run> out;
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const BandWork& bw = w.bands[b];
        if (!bw.present || !bw.triggers || bw.flat_evidence <= 0.0) continue;
        for (const Segment& s : evidence_segments(w, bw.flatness, 0.5 * bw.flat_evidence))
            if (spoofing_window(w, b, s)) out.push_back(Run{b, s.first, s.last, s.evidence});
    }
    return out;
}

double largest_evidence(const std::vector<Run>& g) {
    double m = 0.0;
    for (const Run& r : g) m = std::max(m, r.evidence);
    return m;
}

}  // namespace

std::vector<FoundEvent> find_events(const Work& w, const std::optional<double>& threshold_db) {
    std::vector<FoundEvent> out;
    const auto spoof_groups = group_runs(spoofing_runs(w));
    for (const auto& g : group_runs(jamming_runs(w, threshold_db))) {
        std::size_t first = g.front().first, last = g.front().last;
        for (const Run& r : g) last = std::max(last, r.last);
        const std::vector<std::size_t> bands = affected_bands(w, first, last, g);
        // Signals brought to one power shift the band's level as well: a spoofing-like window of
        // the bands that degraded, over most of a small degradation, explains it.
        std::array<bool, kBandCount> degraded{};
        for (const Run& r : g) degraded[slot_band(r.band)] = true;
        std::size_t flat = 0;
        for (std::size_t e = first; e <= last; ++e) {
            bool inside = false;
            for (const auto& sg : spoof_groups)
                for (const Run& r : sg) inside = inside || (degraded[r.band] && r.first <= e && e <= r.last);
            flat += inside;
        }
        FoundEvent f = make_event(w, first, last, bands, false, largest_evidence(g));
        if (2 * flat > last - first + 1 && f.event.peak_degradation_db <= kSpoofMaxDrop) continue;
        out.push_back(std::move(f));
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
        FoundEvent f = make_event(w, first, last, bands, true, largest_evidence(g));
        // Over the whole group, too, a large drop is jamming, never spoofing.
        if (f.event.peak_degradation_db <= kSpoofMaxDrop) out.push_back(std::move(f));
    }
    std::stable_sort(out.begin(), out.end(), [](const FoundEvent& a, const FoundEvent& b) { return a.first < b.first; });
    return out;
}

}  // namespace tessora::detector
