// The CN0-against-elevation template: learning the curves from a recording, and each satellite's
// offset against them.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "interference/robust.hpp"
#include "interference/steps.hpp"

namespace tessora {

double template_value(const SignalTemplate& t, double elevation) {
    const std::size_t n = t.cn0.size();
    if (n == 0) return kNaN;
    const double x = elevation / kTemplateBinWidth - 0.5;  // position among the bin centres
    if (!(x > 0.0)) return t.cn0.front();
    if (x >= static_cast<double>(n - 1)) return t.cn0.back();
    const auto k = static_cast<std::size_t>(x);
    const double f = x - static_cast<double>(k);
    return t.cn0[k] + f * (t.cn0[k + 1] - t.cn0[k]);
}

const SignalTemplate* CN0Template::find(std::string_view system, std::string_view code) const {
    for (const SignalTemplate& s : signals)
        if (s.system == system && s.code == code) return &s;
    return nullptr;
}

}  // namespace tessora

namespace tessora::detector {

namespace {

// A bin's median counts when this many samples stand behind it; the curve needs this many
// samples in all before it is drawn at all.
constexpr std::size_t kBinSamples = 5;
constexpr std::size_t kCurveSamples = 60;
// Satellites with fewer samples with elevations than this keep a zero offset.
constexpr std::size_t kOffsetSamples = 3;
// Stored offsets are weighed against the day's own over this many satellites at least.
constexpr std::size_t kLeastStoredOffsets = 4;

std::size_t bin_of(float elevation) {
    const auto k = static_cast<std::ptrdiff_t>(std::floor(elevation / kTemplateBinWidth));
    return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(k, 0, kTemplateBins - 1));
}

// Fills bins without enough samples from their neighbours (linear between filled bins, flat
// beyond the outermost), then smooths with weights 1-2-1.
void complete_curve(std::vector<double>& cn0, const std::vector<std::uint64_t>& counts) {
    std::vector<std::size_t> filled;
    for (std::size_t k = 0; k < kTemplateBins; ++k)
        if (counts[k] >= kBinSamples) filled.push_back(k);
    for (std::size_t k = 0; k < kTemplateBins; ++k) {
        if (counts[k] >= kBinSamples) continue;
        auto hi = std::lower_bound(filled.begin(), filled.end(), k);
        if (hi == filled.begin()) cn0[k] = cn0[*hi];
        else if (hi == filled.end()) cn0[k] = cn0[filled.back()];
        else {
            const std::size_t a = *(hi - 1), b = *hi;
            cn0[k] = cn0[a] + (cn0[b] - cn0[a]) * static_cast<double>(k - a) / static_cast<double>(b - a);
        }
    }
    std::vector<double> smooth(kTemplateBins);
    for (std::size_t k = 0; k < kTemplateBins; ++k) {
        const double left = cn0[k ? k - 1 : k], right = cn0[k + 1 < kTemplateBins ? k + 1 : k];
        smooth[k] = 0.25 * left + 0.5 * cn0[k] + 0.25 * right;
    }
    cn0 = std::move(smooth);
}

// A template bin's median or a satellite's offset is settled by a few hundred values: a day of
// 1 s data, or of many signals, is learned from every few epochs.
constexpr std::size_t kLearningSamples = 100000;

// Samples of learning: not excluded, with an elevation.
template <typename F>
void for_learning_samples(const Work& w, F&& f) {
    const std::size_t step = w.samples.size() / kLearningSamples + 1;
    for (std::size_t e = 0; e + 1 < w.epoch_begin.size(); e += step) {
        if (w.excluded[e]) continue;
        for (std::uint32_t i = w.epoch_begin[e]; i < w.epoch_begin[e + 1]; ++i)
            if (!std::isnan(w.samples[i].elevation)) f(w.samples[i]);
    }
}

// Values grouped by key in one flat array (a counting sort), so that a day's samples need no
// allocation per group.
struct Buckets {
    std::vector<std::uint32_t> begin;  // key -> first value; one more entry at the end
    std::vector<float> values;

    // `key_of(sample)` gives a key below `keys` or UINT32_MAX to leave the sample out.
    template <typename Key, typename Value>
    void fill(const Work& w, std::size_t keys, Key&& key_of, Value&& value_of) {
        begin.assign(keys + 1, 0);
        for_learning_samples(w, [&](const Sample& s) {
            const std::uint32_t k = key_of(s);
            if (k != UINT32_MAX) ++begin[k + 1];
        });
        for (std::size_t k = 0; k < keys; ++k) begin[k + 1] += begin[k];
        values.resize(begin[keys]);
        std::vector<std::uint32_t> next(begin.begin(), begin.end() - 1);
        for_learning_samples(w, [&](const Sample& s) {
            const std::uint32_t k = key_of(s);
            if (k != UINT32_MAX) values[next[k]++] = value_of(s);
        });
    }
    std::size_t count(std::size_t k) const { return begin[k + 1] - begin[k]; }
    double median(std::size_t k) {
        const auto first = values.begin() + begin[k], last = values.begin() + begin[k + 1];
        const std::size_t n = count(k);
        if (n == 0) return kNaN;
        const auto mid = first + static_cast<std::ptrdiff_t>(n / 2);
        std::nth_element(first, mid, last);
        if (n % 2) return *mid;
        return 0.5 * (static_cast<double>(*std::max_element(first, mid)) + static_cast<double>(*mid));
    }
};

// Medians per (signal, bin) of CN0 less the satellite's offset.
void fit_curves(Work& w, const std::vector<std::uint8_t>& learn) {
    const std::size_t nsig = w.signals.size();
    Buckets b;
    b.fill(
        w, nsig * kTemplateBins,
        [&](const Sample& s) {
            const std::uint32_t g = w.tracks[s.track].signal;
            return learn[g] ? static_cast<std::uint32_t>(g * kTemplateBins + bin_of(s.elevation)) : UINT32_MAX;
        },
        [&](const Sample& s) { return s.cn0 - w.tracks[s.track].offset; });
    for (std::size_t g = 0; g < nsig; ++g) {
        if (!learn[g]) continue;
        SignalTemplate& st = w.templ.signals[static_cast<std::size_t>(w.signals[g].template_index)];
        for (std::size_t k = 0; k < kTemplateBins; ++k) {
            const std::size_t key = g * kTemplateBins + k;
            st.counts[k] = b.count(key);
            st.cn0[k] = b.count(key) >= kBinSamples ? b.median(key) : 0.0;
        }
        complete_curve(st.cn0, st.counts);
    }
}

// The stored offset of the track's satellite: the curve in use is the given template's copy,
// and carries its offsets (a curve learned afresh has none).
std::optional<double> stored_offset(const Work& w, const Track& t) {
    const std::int32_t ti = w.signals[t.signal].template_index;
    if (!w.given || ti < 0) return std::nullopt;
    const auto& offsets = w.templ.signals[static_cast<std::size_t>(ti)].offsets;
    const std::string& sat = w.obs->satellite_names[t.sat];
    const auto it = std::lower_bound(offsets.begin(), offsets.end(), sat,
                                     [](const SatelliteOffset& o, const std::string& s) { return o.satellite < s; });
    if (it == offsets.end() || it->satellite != sat) return std::nullopt;
    return it->db;
}

// Each track's median of CN0 less the curve. Judged against a stored template, a signal takes
// its satellites' stored offsets (moved by the day's common shift) where they explain most of
// the differences between the day's own medians: the stored offsets of a satellite whose
// ground track repeats daily (GPS) hold from day to day, and a jammer of hours pulls a day's
// own medians of the satellites it covers towards itself; those of a constellation whose tracks
// repeat only after days (Galileo: ten) do not hold, and the day's own stand.
void fit_offsets(Work& w) {
    Buckets b;
    b.fill(
        w, w.tracks.size(),
        [&](const Sample& s) { return w.signals[w.tracks[s.track].signal].template_index >= 0 ? s.track : UINT32_MAX; },
        [&](const Sample& s) {
            const std::int32_t ti = w.signals[w.tracks[s.track].signal].template_index;
            return s.cn0 - static_cast<float>(template_value(w.templ.signals[static_cast<std::size_t>(ti)], s.elevation));
        });
    std::vector<double> stored(w.tracks.size(), kNaN);
    for (std::size_t k = 0; k < w.tracks.size(); ++k) {
        Track& t = w.tracks[k];
        t.offset_samples = static_cast<std::uint32_t>(b.count(k));
        t.offset = b.count(k) >= kOffsetSamples ? static_cast<float>(b.median(k)) : 0.0f;
        if (const auto s = stored_offset(w, t)) stored[k] = *s;
    }
    if (!w.given) return;
    // Per signal: the day's offsets against the stored ones.
    std::vector<std::vector<double>> own(w.signals.size()), differences(w.signals.size());
    for (std::size_t k = 0; k < w.tracks.size(); ++k) {
        const Track& t = w.tracks[k];
        if (t.offset_samples < kOffsetSamples || std::isnan(stored[k])) continue;
        own[t.signal].push_back(t.offset);
        differences[t.signal].push_back(t.offset - stored[k]);
    }
    for (std::size_t g = 0; g < w.signals.size(); ++g) {
        if (differences[g].size() < kLeastStoredOffsets) continue;
        // They must explain at least half of the spread (in variance) of the day's own offsets.
        const RobustScale d = robust_scale(std::move(differences[g])), o = robust_scale(std::move(own[g]));
        if (!(d.sigma * d.sigma < 0.5 * o.sigma * o.sigma)) continue;
        for (std::size_t k = 0; k < w.tracks.size(); ++k)
            if (w.tracks[k].signal == g && !std::isnan(stored[k]))
                w.tracks[k].offset = static_cast<float>(stored[k] + d.centre);
    }
}

// Floor and low elevation of each signal, from all its samples (they do not depend on which
// epochs are learned from, so once per detection).
void fit_limits(Work& w) {
    const std::size_t nsig = w.signals.size();
    std::vector<std::uint32_t> begin(nsig + 1, 0);
    for (const Sample& s : w.samples) ++begin[w.tracks[s.track].signal + 1];
    for (std::size_t g = 0; g < nsig; ++g) begin[g + 1] += begin[g];
    std::vector<float> levels(w.samples.size()), elevations(w.samples.size());
    std::vector<std::uint32_t> next(begin.begin(), begin.end() - 1), next_el = next;
    for (const Sample& s : w.samples) {
        const std::uint32_t g = w.tracks[s.track].signal;
        levels[next[g]++] = s.cn0;
        if (!std::isnan(s.elevation)) elevations[next_el[g]++] = s.elevation;
    }
    const auto quantile = [](std::vector<float>& v, std::size_t first, std::size_t last, double q) {
        if (last == first) return kNaN;
        const auto k = first + static_cast<std::size_t>(q * static_cast<double>(last - first - 1) + 0.5);
        std::nth_element(v.begin() + first, v.begin() + k, v.begin() + last);
        return static_cast<double>(v[k]);
    };
    w.floor.resize(nsig);
    w.low_elevation.resize(nsig);
    for (std::size_t g = 0; g < nsig; ++g) {
        w.floor[g] = quantile(levels, begin[g], begin[g + 1], 0.01);
        w.low_elevation[g] = quantile(elevations, begin[g], next_el[g], 0.01);
    }
}

// Gives each signal its template entry: the stored template's when it has one, else a new one to
// learn when enough samples with elevations stand behind it. Returns which signals to learn.
std::vector<std::uint8_t> assign_templates(Work& w) {
    const std::size_t nsig = w.signals.size();
    std::vector<std::size_t> with_elevation(nsig, 0);
    for_learning_samples(w, [&](const Sample& s) { ++with_elevation[w.tracks[s.track].signal]; });
    std::vector<std::uint8_t> learn(nsig, 0);
    const RinexObsData& obs = *w.obs;
    w.templ.signals.clear();
    for (std::size_t g = 0; g < nsig; ++g) {
        Signal& sig = w.signals[g];
        const std::string system(1, sig.system);
        const std::string& code = obs.code_names[sig.code];
        const SignalTemplate* stored = w.given ? w.given->find(system, code) : nullptr;
        sig.template_index = -1;
        if (stored && stored->cn0.size() == kTemplateBins) {
            sig.template_index = static_cast<std::int32_t>(w.templ.signals.size());
            w.templ.signals.push_back(*stored);
        } else if (with_elevation[g] >= kCurveSamples) {
            sig.template_index = static_cast<std::int32_t>(w.templ.signals.size());
            SignalTemplate st;
            st.system = system;
            st.code = code;
            st.band = std::string(band_name(sig.band));
            st.cn0.assign(kTemplateBins, 0.0);
            st.counts.assign(kTemplateBins, 0);
            w.templ.signals.push_back(std::move(st));
            learn[g] = 1;
        }
    }
    return learn;
}

}  // namespace

void learn_template(Work& w, bool offsets) {
    const std::vector<std::uint8_t> learn = assign_templates(w);
    for (Track& t : w.tracks) t.offset = 0.0f;
    // Curves from the raw levels, offsets against them, then the curves again with each
    // satellite's offset removed (satellites of one signal differ by a few dB in power), and the
    // offsets against those. With every curve given, the offsets against them are fitted once.
    const bool learning = std::any_of(learn.begin(), learn.end(), [](std::uint8_t x) { return x != 0; });
    if (learning) fit_curves(w, learn);
    fit_offsets(w);
    if (learning) {
        fit_curves(w, learn);
        if (offsets) fit_offsets(w);
    }
    if (w.floor.size() != w.signals.size()) fit_limits(w);
    for (std::size_t g = 0; g < w.signals.size(); ++g) {
        const std::int32_t ti = w.signals[g].template_index;
        if (ti < 0) continue;
        w.templ.signals[static_cast<std::size_t>(ti)].floor = w.floor[g];
        w.templ.signals[static_cast<std::size_t>(ti)].low_elevation = std::isnan(w.low_elevation[g]) ? 0.0 : w.low_elevation[g];
    }
}

}  // namespace tessora::detector
