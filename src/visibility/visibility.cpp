#include "visibility/visibility.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/constellation.hpp"
#include "common/numbers.hpp"

namespace tessora {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// The four constellations with a per-system record, in reporting order.
constexpr std::array<char, 4> kSystemLetters = {'G', 'R', 'E', 'C'};

// Letters whose satellites can only be predicted from an ephemeris of their own constellation.
bool has_broadcast_orbits(char letter) {
    return letter == 'G' || letter == 'R' || letter == 'E' || letter == 'C' || letter == 'J';
}

char first_letter(const std::string& id) { return id.empty() ? '\0' : id[0]; }

enum class Class : std::uint8_t { confirmed, missing, unexpected };

// Per-epoch outcome of the comparison.
struct EpochCounts {
    std::uint32_t predicted = 0;
    std::uint32_t observed = 0;
    std::uint32_t confirmed = 0;
    std::uint32_t missing = 0;
    std::uint32_t unexpected = 0;
    // Range of this epoch's classified satellites in the flat list.
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

struct Classified {
    std::uint32_t sat;  // entity id
    Class cls;
};

void append_affected(std::vector<std::uint32_t>& list, std::uint32_t sat) {
    if (std::find(list.begin(), list.end(), sat) == list.end()) list.push_back(sat);
}

}  // namespace

const char* system_name(std::string_view sat) { return statistics_name(constellation_of_satellite(sat)); }

VisibilityResult predict_visibility(const std::optional<SkyGeometry>& geometry, const std::string& prediction_source,
                                    double elevation_mask, const RinexObsData& obs,
                                    std::vector<EpochVisibility>* per_epoch) {
    VisibilityResult result;
    result.has_prediction = true;
    const std::size_t n = obs.epochs.size();
    if (!geometry || n == 0) return result;
    const SkyGeometry& geo = *geometry;
    result.prediction_source = prediction_source;

    // Satellites are tracked as entities: first every candidate (same index), then every observed
    // satellite without an ephemeris.
    const std::vector<std::string>& cands = geo.candidates();
    const std::size_t nc = cands.size();
    std::vector<std::string> names(cands.begin(), cands.end());

    std::array<bool, 256> letter_has_orbits{};
    for (const auto& c : cands) letter_has_orbits[static_cast<unsigned char>(first_letter(c))] = !c.empty();

    // Entity of each satellite of the record; kNone when it never counts as observed because its
    // constellation has broadcast orbits but the navigation data holds none of them.
    const std::vector<std::uint32_t>& cand_of = geo.candidate_of_satellite();
    std::vector<std::uint32_t> entity_of(obs.satellite_names.size(), kNone);
    for (std::size_t s = 0; s < obs.satellite_names.size(); ++s) {
        const std::string& id = obs.satellite_names[s];
        const unsigned char letter = static_cast<unsigned char>(first_letter(id));
        if (s < cand_of.size() && cand_of[s] != kNone) {
            entity_of[s] = cand_of[s];
        } else if (!(has_broadcast_orbits(static_cast<char>(letter)) && !letter_has_orbits[letter])) {
            entity_of[s] = static_cast<std::uint32_t>(names.size());
            names.push_back(id);
        }
    }
    const std::size_t ne = names.size();

    // Observed set of every epoch: satellites with a positive signal-strength value.
    std::vector<bool> snr_code(obs.code_names.size());
    for (std::size_t k = 0; k < obs.code_names.size(); ++k) snr_code[k] = obs.is_snr_code(static_cast<std::uint32_t>(k));
    std::vector<std::uint32_t> observed_flat;
    std::vector<std::uint32_t> observed_begin(n + 1, 0);
    std::vector<std::uint32_t> seen_epoch(ne, kNone);
    std::array<bool, 256> letter_observed{};
    for (std::size_t e = 0; e < n; ++e) {
        observed_begin[e] = static_cast<std::uint32_t>(observed_flat.size());
        const Epoch& ep = obs.epochs[e];
        for (const SatelliteEntry* s = obs.sats_begin(ep); s != obs.sats_end(ep); ++s) {
            const std::uint32_t ent = entity_of[s->sat];
            if (ent == kNone || seen_epoch[ent] == e) continue;
            // A satellite whose broadcast records lie too far from this epoch to place it (a
            // navigation file of another part of the day) can be neither confirmed nor
            // unexpected here: the prediction simply does not cover it.
            if (ent < nc && !geo.at(e, ent)) continue;
            bool positive = false;
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                if (snr_code[obs.obs_codes[i]] && obs.obs_values[i] > 0.0) {
                    positive = true;
                    break;
                }
            if (!positive) continue;
            seen_epoch[ent] = static_cast<std::uint32_t>(e);
            observed_flat.push_back(ent);
            letter_observed[static_cast<unsigned char>(first_letter(names[ent]))] = true;
        }
    }
    observed_begin[n] = static_cast<std::uint32_t>(observed_flat.size());

    // Candidates of constellations the receiver never reported are not predicted at all.
    std::vector<std::uint32_t> active;
    for (std::size_t c = 0; c < nc; ++c)
        if (letter_observed[static_cast<unsigned char>(first_letter(cands[c]))])
            active.push_back(static_cast<std::uint32_t>(c));

    // Classification.
    std::vector<EpochCounts> counts(n);
    std::vector<Classified> classified;
    std::vector<std::uint32_t> missing_count(ne, 0), unexpected_count(ne, 0);
    std::vector<bool> ever_seen_in_class(ne, false);  // confirmed or unexpected at least once
    std::vector<std::uint32_t> obs_mark(ne, kNone), pred_mark(ne, kNone);
    std::array<std::uint64_t, kSystemLetters.size()> predicted_sum{};
    std::uint64_t sum_pred = 0, sum_obs = 0, sum_conf = 0, sum_miss = 0, sum_unexp = 0;

    for (std::size_t e = 0; e < n; ++e) {
        const std::uint32_t mark = static_cast<std::uint32_t>(e);
        for (std::uint32_t k = observed_begin[e]; k < observed_begin[e + 1]; ++k) obs_mark[observed_flat[k]] = mark;
        EpochCounts& ec = counts[e];
        ec.begin = static_cast<std::uint32_t>(classified.size());
        ec.observed = observed_begin[e + 1] - observed_begin[e];
        for (std::uint32_t c : active) {
            const std::optional<LookAngles> la = geo.at(e, c);
            if (!la) continue;
            const double el = la->elevation;
            if (std::isnan(el) || !(std::fabs(el) <= 90.0) || !(el >= elevation_mask)) continue;
            pred_mark[c] = mark;
            ++ec.predicted;
            const bool seen = obs_mark[c] == mark;
            classified.push_back({c, seen ? Class::confirmed : Class::missing});
            if (seen) {
                ++ec.confirmed;
                ever_seen_in_class[c] = true;
            } else {
                ++ec.missing;
                ++missing_count[c];
            }
            const char letter = first_letter(names[c]);
            for (std::size_t l = 0; l < kSystemLetters.size(); ++l)
                if (kSystemLetters[l] == letter) ++predicted_sum[l];
        }
        for (std::uint32_t k = observed_begin[e]; k < observed_begin[e + 1]; ++k) {
            const std::uint32_t ent = observed_flat[k];
            if (pred_mark[ent] == mark) continue;
            classified.push_back({ent, Class::unexpected});
            ++ec.unexpected;
            ++unexpected_count[ent];
            ever_seen_in_class[ent] = true;
        }
        ec.end = static_cast<std::uint32_t>(classified.size());
        sum_pred += ec.predicted;
        sum_obs += ec.observed;
        sum_conf += ec.confirmed;
        sum_miss += ec.missing;
        sum_unexp += ec.unexpected;
    }

    if (per_epoch) {
        per_epoch->resize(n);
        for (std::size_t e = 0; e < n; ++e) (*per_epoch)[e] = {counts[e].predicted, counts[e].observed};
    }

    // Means and rates.
    const double nd = static_cast<double>(n);
    result.mean_predicted = static_cast<double>(sum_pred) / nd;
    result.mean_observed = static_cast<double>(sum_obs) / nd;
    result.mean_missing = static_cast<double>(sum_miss) / nd;
    result.mean_unexpected = static_cast<double>(sum_unexp) / nd;
    result.confirmation_rate =
        result.mean_predicted > 0.0 ? (static_cast<double>(sum_conf) / nd) / result.mean_predicted * 100.0 : 0.0;

    // Satellites missing or unexpected in more than a quarter of the epochs, sorted by identifier.
    const std::uint64_t q = n / 4;
    std::vector<std::uint32_t> by_name(ne);
    for (std::size_t i = 0; i < ne; ++i) by_name[i] = static_cast<std::uint32_t>(i);
    std::sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });
    for (std::uint32_t i : by_name) {
        if (missing_count[i] > q) result.frequently_missing.push_back(names[i]);
        if (unexpected_count[i] > q) result.frequently_unexpected.push_back(names[i]);
    }

    // Per constellation.
    for (std::size_t l = 0; l < kSystemLetters.size(); ++l) {
        const char letter = kSystemLetters[l];
        const std::string sat_of_letter(1, letter);
        VisibilitySystemStats st;
        st.system = system_name(sat_of_letter);
        st.predicted_satellites =
            saturating_cast<std::uint64_t>(std::ceil(static_cast<double>(predicted_sum[l]) / nd));
        for (std::uint32_t i : by_name) {
            if (first_letter(names[i]) != letter) continue;
            if (ever_seen_in_class[i]) ++st.observed_satellites;
            if (missing_count[i] > q) st.missing_satellites.push_back(names[i]);
            if (unexpected_count[i] > q) st.unexpected_satellites.push_back(names[i]);
        }
        if (st.predicted_satellites > 0) {
            const double rate = static_cast<double>(st.observed_satellites) /
                                static_cast<double>(st.predicted_satellites) * 100.0;
            st.confirmation_rate = rate >= 100.0 ? 100.0 : rate;
        }
        std::string key = st.system;
        result.by_system.emplace(std::move(key), std::move(st));
    }

    // Runs of abnormal epochs.
    if (n < 2) return result;
    auto emit = [&](std::size_t a, std::size_t b, const std::vector<std::uint32_t>& affected, bool missing_run) {
        VisibilityAnomaly an;
        an.start_time = epoch_text(obs.epochs[a].time);
        an.end_time = epoch_text(obs.epochs[b].time);
        const std::optional<EpochTime> ta = parse_epoch_text(an.start_time);
        const std::optional<EpochTime> tb = parse_epoch_text(an.end_time);
        an.duration_seconds = (ta && tb) ? std::fabs(seconds_between(*tb, *ta))
                                         : static_cast<double>(b - a + 1) * 30.0;
        for (std::uint32_t s : affected) {
            an.affected_satellites.push_back(names[s]);
            an.affected_systems.emplace_back(system_name(names[s]));
        }
        std::sort(an.affected_systems.begin(), an.affected_systems.end());
        an.affected_systems.erase(std::unique(an.affected_systems.begin(), an.affected_systems.end()),
                                  an.affected_systems.end());
        const std::size_t count = affected.size();
        an.description.clear();
        append_uint(an.description, count);
        if (missing_run) {
            an.anomaly_type = "missing_satellites";
            if (count >= 11 || an.affected_systems.size() >= 3) an.severity = "critical";
            else if (count >= 6) an.severity = "high";
            else an.severity = "low";
            an.description += " satellites missing for ";
            append_fixed(an.description, an.duration_seconds, 0);
            an.description += "s - possible jamming or obstruction";
        } else {
            an.anomaly_type = "unexpected_satellites";
            if (count <= 2) an.severity = "low";
            else if (count <= 5) an.severity = "high";
            else an.severity = "critical";
            an.description += " unexpected satellites for ";
            append_fixed(an.description, an.duration_seconds, 0);
            an.description += "s - possible spoofing or multipath";
        }
        result.anomalies.push_back(std::move(an));
    };

    // Two passes with the same shape: a run starts on a bad epoch, collects the satellites of its
    // class from every epoch it touches (the closing one included) and ends on a good epoch,
    // covering the epochs before it. A run still open after the last epoch is dropped.
    auto pass = [&](Class cls, auto starts, auto ends) {
        bool in_run = false;
        std::size_t start = 0;
        std::vector<std::uint32_t> affected;
        for (std::size_t i = 0; i < n; ++i) {
            const EpochCounts& ec = counts[i];
            if (!in_run) {
                if (!starts(ec)) continue;
                affected.clear();
                start = i;
                in_run = true;
            }
            for (std::uint32_t k = ec.begin; k < ec.end; ++k)
                if (classified[k].cls == cls) append_affected(affected, classified[k].sat);
            if (ends(ec)) {
                if (i > start) emit(start, i - 1, affected, cls == Class::missing);
                in_run = false;
            }
        }
    };
    auto missing_ratio = [](const EpochCounts& ec) {
        return ec.predicted > 0 ? static_cast<double>(ec.missing) / static_cast<double>(ec.predicted) : 0.0;
    };
    pass(Class::missing, [&](const EpochCounts& ec) { return missing_ratio(ec) > 0.3; },
         [&](const EpochCounts& ec) { return missing_ratio(ec) <= 0.1; });
    pass(Class::unexpected, [](const EpochCounts& ec) { return ec.unexpected >= 3; },
         [](const EpochCounts& ec) { return ec.unexpected < 2; });
    return result;
}

}  // namespace tessora
