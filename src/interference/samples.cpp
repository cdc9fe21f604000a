// Epoch order, satellite elevations and the CN0 samples of a recording.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "interference/robust.hpp"
#include "interference/steps.hpp"
#include "navigation/geometry.hpp"
#include "visibility/sky_geometry.hpp"

namespace tessora::detector {

namespace {

// Elevations are evaluated at knots this far apart and interpolated in between by parabolas:
// over a quarter of an hour a navigation satellite's elevation departs from a parabola by
// thousandths of a degree.
constexpr double kKnotSpacing = 900.0;  // s

void order_epochs(Work& w) {
    const RinexObsData& obs = *w.obs;
    const std::size_t ne = obs.epochs.size();
    std::vector<double> jd(ne);
    for (std::size_t e = 0; e < ne; ++e) jd[e] = julian_date(obs.epochs[e].time);
    w.order.resize(ne);
    std::iota(w.order.begin(), w.order.end(), 0u);
    std::stable_sort(w.order.begin(), w.order.end(), [&](std::uint32_t a, std::uint32_t b) { return jd[a] < jd[b]; });
    w.seconds.resize(ne);
    w.timestamps.resize(ne);
    for (std::size_t i = 0; i < ne; ++i) {
        const Epoch& ep = obs.epochs[w.order[i]];
        w.seconds[i] = exact_seconds_between(ep.time, obs.epochs[w.order[0]].time);
        w.timestamps[i] = epoch_text(ep.time);
    }
}

// Knots: the first epoch, then every epoch at least kKnotSpacing after the previous knot, and
// the last epoch.
std::vector<std::size_t> knot_epochs(const Work& w) {
    std::vector<std::size_t> knots;
    const std::size_t ne = w.order.size();
    for (std::size_t i = 0; i < ne; ++i)
        if (knots.empty() || w.seconds[i] - w.seconds[knots.back()] >= kKnotSpacing || i + 1 == ne) knots.push_back(i);
    return knots;
}

void fill_elevations(Work& w, const NavigationData& nav, const Ecef& receiver) {
    const RinexObsData& obs = *w.obs;
    const Receiver rx = prepare_receiver(receiver);
    const std::vector<std::size_t> knots = knot_epochs(w);
    std::vector<float> at_knot(knots.size());
    const auto elevation_at = [&](const SatelliteOrbit& orbit, std::size_t e) {
        const std::optional<Ecef> pos = satellite_position(orbit, julian_date(obs.epochs[w.order[e]].time));
        return pos ? static_cast<float>(look_angles(rx, *pos).elevation) : static_cast<float>(kNaN);
    };
    for (std::size_t s = 0; s < w.nsat; ++s) {
        const SatelliteOrbit orbit = find_satellite(nav, obs.satellite_names[s]);
        if (!orbit) continue;
        for (std::size_t k = 0; k < knots.size(); ++k) at_knot[k] = elevation_at(orbit, knots[k]);
        for (std::size_t k = 0; k < knots.size(); ++k) {
            const std::size_t a = knots[k];
            w.sat_elevation[a * w.nsat + s] = at_knot[k];
            if (k + 1 == knots.size()) break;
            const std::size_t b = knots[k + 1];
            // A parabola through this knot, the next and the one after (or before, at the end).
            const std::size_t k0 = k + 2 < knots.size() ? k : (k > 0 ? k - 1 : k);
            const std::size_t k2 = std::min(k0 + 2, knots.size() - 1);
            const double t0 = w.seconds[knots[k0]], t1 = w.seconds[knots[k0 + 1]], t2 = w.seconds[knots[k2]];
            const double y0 = at_knot[k0], y1 = at_knot[k0 + 1], y2 = at_knot[k2];
            const bool parabola = k2 == k0 + 2 && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2) &&
                                  t2 - t0 <= 3 * kKnotSpacing;
            // Without a position at either end of the interval the satellite has none inside it
            // (its records do not reach there); with one at one end only, every epoch is evaluated.
            const bool none = std::isnan(at_knot[k]) && std::isnan(at_knot[k + 1]);
            for (std::size_t e = a + 1; e < b; ++e) {
                const double t = w.seconds[e];
                w.sat_elevation[e * w.nsat + s] =
                    parabola ? static_cast<float>(y0 * (t - t1) * (t - t2) / ((t0 - t1) * (t0 - t2)) +
                                                  y1 * (t - t0) * (t - t2) / ((t1 - t0) * (t1 - t2)) +
                                                  y2 * (t - t0) * (t - t1) / ((t2 - t0) * (t2 - t1)))
                    : none ? static_cast<float>(kNaN)
                           : elevation_at(orbit, e);
            }
        }
    }
}

// The signal index of (system, code), added on first sight; UINT32_MAX for codes that carry no
// CN0 or name no known band.
std::uint32_t signal_of(Work& w, std::vector<std::uint32_t>& by_key, char system, std::uint32_t code) {
    const std::size_t key = static_cast<unsigned char>(system) * w.obs->code_names.size() + code;
    if (by_key[key] != UINT32_MAX - 1) return by_key[key];
    std::uint32_t& slot = by_key[key];
    slot = UINT32_MAX;
    if (!w.obs->is_snr_code(code)) return slot;
    const Band band = band_of(system, w.obs->code_names[code], w.obs->version);
    if (band == kNoBand) return slot;
    slot = static_cast<std::uint32_t>(w.signals.size());
    w.signals.push_back(Signal{system, code, band, -1});
    return slot;
}

}  // namespace

void collect_samples(Work& w, const NavigationData* nav, const std::vector<char>& systems) {
    const RinexObsData& obs = *w.obs;
    order_epochs(w);
    const std::size_t ne = w.order.size();
    w.nsat = obs.satellite_names.size();
    w.sat_elevation.assign(ne * w.nsat, static_cast<float>(kNaN));
    if (nav && obs.approx_position && usable_receiver_position(*obs.approx_position))
        fill_elevations(w, *nav, *obs.approx_position);

    std::array<bool, 256> selected{};
    for (char c : systems) selected[static_cast<unsigned char>(c)] = true;
    std::vector<std::uint32_t> by_key(256 * obs.code_names.size(), UINT32_MAX - 1);
    // (satellite, signal) -> track, grown as signals appear.
    std::vector<std::vector<std::uint32_t>> tracks_of_sat(w.nsat);

    w.epoch_begin.assign(ne + 1, 0);
    w.samples.reserve(obs.obs_values.size() / 2);
    for (std::size_t e = 0; e < ne; ++e) {
        w.epoch_begin[e] = static_cast<std::uint32_t>(w.samples.size());
        const Epoch& ep = obs.epochs[w.order[e]];
        for (const SatelliteEntry* s = obs.sats_begin(ep); s != obs.sats_end(ep); ++s) {
            const std::string& id = obs.satellite_names[s->sat];
            if (id.empty()) continue;
            const char system = id[0];
            if (!systems.empty() && !selected[static_cast<unsigned char>(system)]) continue;
            const float el = w.elevation(e, s->sat);
            if (!std::isnan(el) && !(el >= w.min_elevation)) continue;
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                const double v = obs.obs_values[i];
                // Receivers write 0 (or nonsense) for a signal they do not hold.
                if (!(v > 0.0 && v < 100.0)) continue;
                const std::uint32_t sig = signal_of(w, by_key, system, obs.obs_codes[i]);
                if (sig == UINT32_MAX) continue;
                auto& list = tracks_of_sat[s->sat];
                if (list.size() <= sig) list.resize(sig + 1, UINT32_MAX);
                if (list[sig] == UINT32_MAX) {
                    list[sig] = static_cast<std::uint32_t>(w.tracks.size());
                    w.tracks.push_back(Track{s->sat, sig, 0.0f});
                }
                w.samples.push_back(Sample{list[sig], static_cast<float>(v), el, static_cast<float>(kNaN)});
            }
        }
    }
    w.epoch_begin[ne] = static_cast<std::uint32_t>(w.samples.size());
    w.excluded.assign(ne, 0);
}

}  // namespace tessora::detector
