#include "cn0/pipeline.hpp"

#include "cn0/analysis_steps.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

#include "cn0/pipeline_stages.hpp"
#include "common/constellation.hpp"
#include "common/numbers.hpp"
#include "navigation/geometry.hpp"
#include "navigation/nav_data.hpp"
#include "visibility/visibility.hpp"

namespace tessora {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Look angles used for every satellite when its geometry is unknown.
constexpr double kDefaultElevation = 45.0;
constexpr double kDefaultAzimuth = 0.0;

// Sorted CN0 values further apart than this count as a level jump (a cycle slip indication).
constexpr double kCycleSlipJump = 10.0;

// Running mean / extremes / population deviation of a group of CN0 values. The sum runs in point
// order; minimum and maximum pass over NaN.
struct Accumulator {
    std::uint64_t count = 0;
    double sum = 0.0;
    double min = std::numeric_limits<double>::quiet_NaN();
    double max = std::numeric_limits<double>::quiet_NaN();
    double squares = 0.0;  // sum of squared deviations, second pass

    void add(double v) {
        ++count;
        sum += v;
        if (!std::isnan(v)) {
            if (std::isnan(min) || v < min) min = v;
            if (std::isnan(max) || v > max) max = v;
        }
    }
    double mean() const { return count ? sum / static_cast<double>(count) : 0.0; }
    void add_deviation(double v, double mean) {
        const double d = v - mean;
        squares += d * d;
    }
    double std_dev() const { return count ? std::sqrt(squares / static_cast<double>(count)) : 0.0; }
    double min_or_zero() const { return count ? min : 0.0; }
    double max_or_zero() const { return count ? max : 0.0; }
};

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

void report(const ProgressSink& sink, bool verbose, std::string line) {
    if (verbose && sink) sink(line);
}

void append_ms(std::string& out, double ms) {
    append_fixed(out, ms, 1);
    out += " ms";
}

}  // namespace

std::string prediction_source_text(const NavigationData& nav) {
    std::string s = "BRDC Navigation (";
    append_uint(s, nav.satellite_count());
    s += " satellites)";
    return s;
}

void fill_file_info(const RinexObsData& obs, FileInfo& info) {
    info.marker_name = obs.marker_name;
    info.receiver_type = obs.receiver_type;
    info.antenna_type = obs.antenna_type;
    info.interval = obs.interval;
    if (obs.approx_position) {
        const auto& p = *obs.approx_position;
        const Geodetic g = ecef_to_geodetic(p[0], p[1], p[2]);
        info.position_lat = g.lat_deg;
        info.position_lon = g.lon_deg;
        info.position_height = g.height;
    }
    if (obs.epochs.empty()) return;
    const EpochTime& first = obs.epochs.front().time;
    const EpochTime& last = obs.epochs.back().time;
    info.start_time = epoch_text(first);
    info.end_time = epoch_text(last);
    info.duration_hours = 24.0 * (julian_date(last) - julian_date(first));
}

std::optional<SkyGeometry> analysis_geometry(const AnalysisInput& input) {
    if (!input.navigation || !input.obs) return std::nullopt;
    const RinexObsData& obs = *input.obs;
    if (!obs.approx_position || !usable_receiver_position(*obs.approx_position)) return std::nullopt;
    return SkyGeometry::compute(*input.navigation, obs, *obs.approx_position);
}

PointSet extract_points(const AnalysisInput& input, const SkyGeometry* geometry) {
    PointSet set;
    if (!input.obs) return set;
    const RinexObsData& obs = *input.obs;
    set.obs = &obs;

    std::array<bool, 256> selected{};
    for (char c : input.systems) selected[static_cast<unsigned char>(c)] = true;

    // Per satellite of the record: selected or not, its constellation name, its candidate.
    const std::size_t nsat = obs.satellite_names.size();
    std::vector<std::uint8_t> sat_selected(nsat, 0);
    std::vector<const char*> sat_system(nsat, "");
    for (std::size_t s = 0; s < nsat; ++s) {
        const std::string& id = obs.satellite_names[s];
        const char letter = id.empty() ? 'G' : id[0];
        sat_selected[s] = selected[static_cast<unsigned char>(letter)];
        sat_system[s] = statistics_name(constellation_of(letter));
    }
    std::vector<std::uint8_t> snr_code(obs.code_names.size());
    for (std::size_t k = 0; k < obs.code_names.size(); ++k) snr_code[k] = obs.is_snr_code(static_cast<std::uint32_t>(k));
    const std::vector<std::uint32_t>* cand_of = geometry ? &geometry->candidate_of_satellite() : nullptr;

    const double min_el = input.min_elevation;
    const double min_cn0 = input.min_cn0;
    const double max_cn0 = input.max_cn0;
    const std::size_t ne = obs.epochs.size();
    std::vector<std::uint8_t> epoch_used(ne, 0);

    for (std::size_t e = 0; e < ne; ++e) {
        const Epoch& ep = obs.epochs[e];
        for (const SatelliteEntry* s = obs.sats_begin(ep); s != obs.sats_end(ep); ++s) {
            if (!sat_selected[s->sat]) continue;
            double el = kDefaultElevation, az = kDefaultAzimuth;
            if (cand_of) {
                const std::uint32_t c = (*cand_of)[s->sat];
                if (c != kNone)
                    if (const auto la = geometry->at(e, c)) {
                        el = la->elevation;
                        az = la->azimuth;
                    }
            }
            // Written as an acceptance test so that a NaN elevation or mask rejects.
            if (!(el >= min_el)) continue;
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                const std::uint32_t code = obs.obs_codes[i];
                if (!snr_code[code]) continue;
                const double v = obs.obs_values[i];
                if (!(min_cn0 <= v && v <= max_cn0)) continue;
                ObservationPoint p;
                p.time = static_cast<std::uint32_t>(e);  // epoch index, replaced by the time rank below
                p.satellite = s->sat;
                p.signal = code;
                p.system = sat_system[s->sat];
                p.cn0 = v;
                p.elevation = el;
                p.azimuth = az;
                set.points.push_back(p);
                epoch_used[e] = 1;
            }
        }
    }
    if (set.points.empty()) return set;

    // Distinct timestamp texts of the epochs that gave points, ascending; equal texts of different
    // epochs share one rank.
    std::vector<std::string> texts(ne);
    std::vector<std::uint32_t> used;
    for (std::size_t e = 0; e < ne; ++e)
        if (epoch_used[e]) {
            texts[e] = epoch_text(obs.epochs[e].time);
            used.push_back(static_cast<std::uint32_t>(e));
        }
    std::sort(used.begin(), used.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (texts[a] != texts[b]) return texts[a] < texts[b];
        return a < b;
    });
    std::vector<std::uint32_t> rank(ne, 0);
    for (std::uint32_t e : used) {
        if (set.times.empty() || set.times.back() != texts[e]) set.times.push_back(texts[e]);
        rank[e] = static_cast<std::uint32_t>(set.times.size() - 1);
    }
    for (ObservationPoint& p : set.points) p.time = rank[p.time];
    return set;
}

void fill_statistics(const PointSet& ps, AnalysisResult& result) {
    const RinexObsData& obs = *ps.obs;
    const LargeVector<ObservationPoint>& pts = ps.points;
    const std::size_t nsat = obs.satellite_names.size();
    const std::size_t nt = ps.times.size();
    Summary& sum = result.summary;

    // --- summary -----------------------------------------------------------------------------
    sum.total_observations = pts.size();
    sum.total_epochs = obs.epochs.size();
    const std::vector<std::uint32_t> record_sats = obs.distinct_satellites();
    sum.total_satellites = record_sats.size();
    // The system of an identifier is its whole first character, so that an identifier read from
    // a damaged line never yields a partial UTF-8 sequence. Satellites of the record per observed
    // system name:
    std::vector<std::pair<std::string, std::uint64_t>> record_sats_of_system;
    for (const auto& [system, ids] : obs.satellites_by_system()) {
        record_sats_of_system.emplace_back(observed_name(system), ids.size());
        sum.systems_observed.push_back(record_sats_of_system.back().first);
    }
    std::sort(sum.systems_observed.begin(), sum.systems_observed.end());
    Accumulator all;
    for (const ObservationPoint& p : pts) all.add(p.cn0);
    sum.mean_cn0 = all.mean();
    sum.min_cn0 = all.min_or_zero();
    sum.max_cn0 = all.max_or_zero();

    // --- points grouped by satellite (point order kept within each group) -----------------------
    std::vector<std::uint32_t> sat_begin(nsat + 1, 0);
    for (const ObservationPoint& p : pts) ++sat_begin[p.satellite + 1];
    std::partial_sum(sat_begin.begin(), sat_begin.end(), sat_begin.begin());
    std::vector<std::uint32_t> by_sat(pts.size());
    {
        std::vector<std::uint32_t> fill(sat_begin.begin(), sat_begin.end() - 1);
        for (std::uint32_t i = 0; i < pts.size(); ++i) by_sat[fill[pts[i].satellite]++] = i;
    }
    std::vector<std::uint32_t> sats_with_points;  // ascending identifier text
    for (std::uint32_t s = 0; s < nsat; ++s)
        if (sat_begin[s + 1] > sat_begin[s]) sats_with_points.push_back(s);
    std::sort(sats_with_points.begin(), sats_with_points.end(),
              [&](std::uint32_t a, std::uint32_t b) { return obs.satellite_names[a] < obs.satellite_names[b]; });

    // Distinct time ranks of each satellite, ascending.
    std::vector<std::uint32_t> rank_begin(nsat + 1, 0);
    std::vector<std::uint32_t> sat_ranks;
    {
        std::vector<std::uint32_t> last(nt, kNone);
        std::vector<std::uint32_t> tmp;
        for (std::uint32_t s = 0; s < nsat; ++s) {
            rank_begin[s] = static_cast<std::uint32_t>(sat_ranks.size());
            tmp.clear();
            for (std::uint32_t k = sat_begin[s]; k < sat_begin[s + 1]; ++k) {
                const std::uint32_t t = pts[by_sat[k]].time;
                if (last[t] != s) {
                    last[t] = s;
                    tmp.push_back(t);
                }
            }
            std::sort(tmp.begin(), tmp.end());
            sat_ranks.insert(sat_ranks.end(), tmp.begin(), tmp.end());
        }
        rank_begin[nsat] = static_cast<std::uint32_t>(sat_ranks.size());
    }

    // --- per satellite ---------------------------------------------------------------------------
    for (std::uint32_t s : sats_with_points) {
        Accumulator acc;
        double elev_sum = 0.0;
        for (std::uint32_t k = sat_begin[s]; k < sat_begin[s + 1]; ++k) {
            acc.add(pts[by_sat[k]].cn0);
            elev_sum += pts[by_sat[k]].elevation;
        }
        const double mean = acc.mean();
        for (std::uint32_t k = sat_begin[s]; k < sat_begin[s + 1]; ++k) acc.add_deviation(pts[by_sat[k]].cn0, mean);
        SatelliteStats st;
        st.satellite = obs.satellite_names[s];
        st.system = pts[by_sat[sat_begin[s]]].system;
        st.observation_count = acc.count;
        st.mean_cn0 = mean;
        st.min_cn0 = acc.min_or_zero();
        st.max_cn0 = acc.max_or_zero();
        st.std_cn0 = acc.std_dev();
        st.mean_elevation = elev_sum / static_cast<double>(acc.count);
        result.satellite_stats.emplace(st.satellite, std::move(st));
    }

    // --- per constellation -----------------------------------------------------------------------
    // Constellations: the observed system names and every name carried by a point.
    std::vector<std::string> constellations = sum.systems_observed;
    for (std::uint32_t s : sats_with_points) constellations.emplace_back(pts[by_sat[sat_begin[s]]].system);
    std::sort(constellations.begin(), constellations.end());
    constellations.erase(std::unique(constellations.begin(), constellations.end()), constellations.end());
    const std::size_t ncon = constellations.size();
    auto constellation_index = [&](const char* name) {
        return static_cast<std::size_t>(
            std::lower_bound(constellations.begin(), constellations.end(), std::string_view(name),
                             [](const std::string& a, std::string_view b) { return std::string_view(a) < b; }) -
            constellations.begin());
    };
    std::vector<std::uint32_t> sat_con(nsat, kNone);
    for (std::uint32_t s : sats_with_points)
        sat_con[s] = static_cast<std::uint32_t>(constellation_index(pts[by_sat[sat_begin[s]]].system));

    std::vector<Accumulator> con_acc(ncon);
    for (const ObservationPoint& p : pts) con_acc[sat_con[p.satellite]].add(p.cn0);
    for (const ObservationPoint& p : pts) {
        const std::uint32_t c = sat_con[p.satellite];
        con_acc[c].add_deviation(p.cn0, con_acc[c].mean());
    }

    std::vector<std::uint32_t> position_in_con(nt);
    std::vector<double> values;
    for (std::size_t c = 0; c < ncon; ++c) {
        const std::string& name = constellations[c];
        ConstellationStats st;
        st.system = name;
        const Accumulator& acc = con_acc[c];

        std::uint64_t record_count = 0;
        for (const auto& [system, count] : record_sats_of_system)
            if (system == name) record_count += count;
        std::uint64_t point_sats = 0;
        for (std::uint32_t s : sats_with_points)
            if (sat_con[s] == c) ++point_sats;
        st.satellite_count = std::max(record_count, point_sats);

        std::uint64_t expected = 0;
        if (result.visibility) {
            auto it = result.visibility->by_system.find(name);
            if (it != result.visibility->by_system.end())
                expected = std::max(it->second.predicted_satellites, it->second.observed_satellites);
        }
        st.satellites_expected = expected ? expected : default_satellites_expected(name);
        st.availability_ratio = static_cast<double>(st.satellite_count) / static_cast<double>(st.satellites_expected);

        if (acc.count) {
            st.observation_count = acc.count;
            st.mean_cn0 = acc.mean();
            st.min_cn0 = acc.min_or_zero();
            st.max_cn0 = acc.max_or_zero();
            st.std_cn0 = acc.std_dev();

            // Level jumps between sorted CN0 values of each satellite.
            for (std::uint32_t s : sats_with_points) {
                if (sat_con[s] != c) continue;
                values.clear();
                for (std::uint32_t k = sat_begin[s]; k < sat_begin[s + 1]; ++k) values.push_back(pts[by_sat[k]].cn0);
                std::sort(values.begin(), values.end());
                for (std::size_t k = 1; k < values.size(); ++k)
                    if (values[k] - values[k - 1] > kCycleSlipJump) ++st.cycle_slips;
            }
            // Gaps: timestamps of the constellation a satellite skipped between two of its points.
            std::vector<std::uint8_t> con_has_time(nt, 0);
            for (std::uint32_t s : sats_with_points)
                if (sat_con[s] == c)
                    for (std::uint32_t k = rank_begin[s]; k < rank_begin[s + 1]; ++k) con_has_time[sat_ranks[k]] = 1;
            std::uint32_t pos = 0;
            for (std::size_t t = 0; t < nt; ++t)
                if (con_has_time[t]) position_in_con[t] = pos++;
            for (std::uint32_t s : sats_with_points) {
                if (sat_con[s] != c) continue;
                for (std::uint32_t k = rank_begin[s] + 1; k < rank_begin[s + 1]; ++k) {
                    const std::uint32_t j = position_in_con[sat_ranks[k]];
                    const std::uint32_t i = position_in_con[sat_ranks[k - 1]];
                    if (j - i > 1) st.data_gaps += j - i - 1;
                }
            }
        }
        result.constellation_stats.emplace(name, std::move(st));
    }

    // --- time series -----------------------------------------------------------------------------
    Timeseries& ts = result.timeseries;
    std::vector<double> t_sum(nt, 0.0);
    std::vector<std::uint64_t> t_count(nt, 0), t_sats(nt, 0);
    for (const ObservationPoint& p : pts) {
        t_sum[p.time] += p.cn0;
        ++t_count[p.time];
    }
    for (std::uint32_t t : sat_ranks) ++t_sats[t];
    ts.timestamps = ps.times;
    ts.mean_cn0.resize(nt);
    ts.satellite_count.resize(nt);
    for (std::size_t t = 0; t < nt; ++t) {
        ts.mean_cn0[t] = t_sum[t] / static_cast<double>(t_count[t]);
        ts.satellite_count[t] = t_sats[t];
    }

    std::vector<std::uint32_t> order;
    for (std::uint32_t s : sats_with_points) {
        const ObservationPoint& first = pts[by_sat[sat_begin[s]]];
        SatelliteTimeseries st;
        st.satellite = obs.satellite_names[s];
        st.system = first.system;
        st.signal = ps.signal(first);
        order.assign(by_sat.begin() + sat_begin[s], by_sat.begin() + sat_begin[s + 1]);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return pts[a].time < pts[b].time; });
        st.cn0_series.reserve(order.size());
        st.signals.push_back(st.signal);
        for (std::uint32_t i : order) {
            const ObservationPoint& p = pts[i];
            const std::string& code = ps.signal(p);
            std::uint32_t k = 0;
            while (k < st.signals.size() && st.signals[k] != code) ++k;
            if (k == st.signals.size()) st.signals.push_back(code);
            st.cn0_series.push_back(CN0Point{ps.times[p.time], p.cn0, p.elevation, p.azimuth, k});
        }
        ts.satellite_timeseries.emplace(st.satellite, std::move(st));
    }

    // Per constellation name of the points: means per timestamp.
    struct Cell {
        std::uint64_t count = 0;
        double cn0 = 0.0, elevation = 0.0, azimuth = 0.0;
    };
    std::vector<Cell> cells(ncon * nt);
    for (const ObservationPoint& p : pts) {
        Cell& cell = cells[sat_con[p.satellite] * nt + p.time];
        ++cell.count;
        cell.cn0 += p.cn0;
        cell.elevation += p.elevation;
        cell.azimuth += p.azimuth;
    }
    for (std::size_t c = 0; c < ncon; ++c) {
        if (con_acc[c].count == 0) continue;
        std::vector<CN0Point> series;
        for (std::size_t t = 0; t < nt; ++t) {
            const Cell& cell = cells[c * nt + t];
            if (!cell.count) continue;
            const double n = static_cast<double>(cell.count);
            series.push_back(CN0Point{ps.times[t], cell.cn0 / n, cell.elevation / n, cell.azimuth / n});
        }
        ts.constellation_timeseries.emplace(constellations[c], std::move(series));
    }
}

AnalysisResult run_analysis(const AnalysisInput& input, const ProgressSink& progress) {
    AnalysisResult result;
    if (!input.obs) return result;
    const RinexObsData& obs = *input.obs;
    fill_file_info(obs, result.file_info);
    if (obs.epochs.empty()) return result;

    auto t0 = std::chrono::steady_clock::now();
    const std::optional<SkyGeometry> geometry = analysis_geometry(input);
    if (geometry) {
        std::string line = "sky geometry: ";
        append_uint(line, geometry->candidates().size());
        line += " satellites x ";
        append_uint(line, geometry->num_epochs());
        line += " epochs in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }

    t0 = std::chrono::steady_clock::now();
    const PointSet points = extract_points(input, geometry ? &*geometry : nullptr);
    {
        std::string line = "points: ";
        append_uint(line, points.points.size());
        line += " CN0 values from ";
        append_uint(line, obs.epochs.size());
        line += " epochs (";
        append_uint(line, points.times.size());
        line += " timestamps) in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }
    if (points.points.empty()) return result;

    if (input.navigation) {
        t0 = std::chrono::steady_clock::now();
        result.visibility = predict_visibility(geometry, prediction_source_text(*input.navigation),
                                               input.min_elevation, obs);
        std::string line = "visibility: ";
        append_uint(line, geometry ? geometry->candidates().size() : 0);
        line += " candidates, mean predicted ";
        append_fixed(line, result.visibility->mean_predicted, 1);
        line += ", mean observed ";
        append_fixed(line, result.visibility->mean_observed, 1);
        line += ", ";
        append_uint(line, result.visibility->anomalies.size());
        line += " anomalies in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }

    t0 = std::chrono::steady_clock::now();
    fill_statistics(points, result);
    {
        std::string line = "statistics: ";
        append_uint(line, result.satellite_stats.size());
        line += " satellites, ";
        append_uint(line, result.constellation_stats.size());
        line += " constellations, ";
        append_uint(line, result.timeseries.timestamps.size());
        line += " timestamps in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }

    t0 = std::chrono::steady_clock::now();
    build_sky_views(points, result);
    {
        std::string line = "sky views: ";
        append_uint(line, result.skyplot.traces.size());
        line += " traces, ";
        append_uint(line, result.skyplot.heatmap_points.size());
        line += " occupied cells in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }

    t0 = std::chrono::steady_clock::now();
    detect_cn0_anomalies(points, input, result);
    {
        std::string line = "anomalies: ";
        append_uint(line, result.summary.anomaly_count);
        line += input.detect_anomalies ? " CN0-drop events (" : " (detection switched off) (";
        append_uint(line, result.summary.critical_count);
        line += " critical) in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }

    t0 = std::chrono::steady_clock::now();
    score_quality(result);
    {
        std::string line = "scoring: overall ";
        append_fixed(line, result.quality_score.overall, 1);
        line += ", grade ";
        line += result.quality_score.grade;
        line += " in ";
        append_ms(line, elapsed_ms(t0));
        report(progress, input.verbose, std::move(line));
    }
    return result;
}

}  // namespace tessora
