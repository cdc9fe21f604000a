// CN0-drop anomalies: epochs at which several satellites lose signal strength at once, each
// judged against the satellite's own usual level, and the threat indications derived from a
// finished result.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cn0/analysis_steps.hpp"
#include "cn0/prediction_use.hpp"
#include "common/numbers.hpp"

namespace tessora {
namespace {

// A satellite needs this many CN0 values (all signals, all epochs) before its drops are judged.
constexpr std::size_t kMinBaselineValues = 10;
// A drop must exceed this many dB whatever the satellite's spread ...
constexpr double kMinDropDb = 10.0;
// ... and exceed the low multiplier times the spread, the spread being taken as at least this.
constexpr double kMinSpreadDb = 5.0;

struct Baseline {
    double mean = 0.0;
    double spread = 0.0;
};

// Mean and spread (population standard deviation, at least 1 dB) of every satellite with enough
// values; indexed by satellite index.
std::vector<std::optional<Baseline>> satellite_baselines(const PointSet& points) {
    std::size_t n_sats = 0;
    for (const ObservationPoint& p : points.points)
        n_sats = std::max<std::size_t>(n_sats, static_cast<std::size_t>(p.satellite) + 1);
    std::vector<std::vector<double>> values(n_sats);
    for (const ObservationPoint& p : points.points) values[p.satellite].push_back(p.cn0);

    std::vector<std::optional<Baseline>> baselines(n_sats);
    for (std::size_t s = 0; s < n_sats; ++s) {
        const std::vector<double>& v = values[s];
        if (v.size() < kMinBaselineValues) continue;
        const double n = static_cast<double>(v.size());
        double sum = 0.0;
        for (const double x : v) sum += x;
        const double mean = sum / n;
        double sq = 0.0;
        for (const double x : v) {
            const double d = x - mean;
            sq += d * d;
        }
        baselines[s] = Baseline{mean, std::fmax(1.0, std::sqrt(sq / n))};
    }
    return baselines;
}

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

void detect_cn0_anomalies(const PointSet& points, const AnalysisInput& input, AnalysisResult& result) {
    result.anomalies.clear();
    result.summary.anomaly_count = 0;
    result.summary.critical_count = 0;
    result.summary.high_count = 0;
    result.summary.low_count = 0;
    if (!input.detect_anomalies) return;

    const std::vector<std::optional<Baseline>> baselines = satellite_baselines(points);

    // Points per epoch. `time` is the rank of the timestamp text among the distinct texts, so
    // visiting the ranks upwards visits the timestamps in ascending text order, which is
    // chronological for the fixed-width timestamp form.
    std::size_t n_times = points.times.size();
    for (const ObservationPoint& p : points.points)
        n_times = std::max<std::size_t>(n_times, static_cast<std::size_t>(p.time) + 1);
    std::vector<std::vector<std::size_t>> by_epoch(n_times);
    for (std::size_t k = 0; k < points.points.size(); ++k)
        by_epoch[points.points[k].time].push_back(k);

    for (std::size_t t = 0; t < n_times; ++t) {
        std::vector<std::string> satellites;
        std::vector<std::string> systems;
        double max_drop = 0.0;
        bool any = false;
        for (const std::size_t k : by_epoch[t]) {
            const ObservationPoint& p = points.points[k];
            const std::optional<Baseline>& b = baselines[p.satellite];
            if (!b) continue;
            const double drop = b->mean - p.cn0;
            if (!(drop > kMinDropDb && drop > std::fmax(b->spread, kMinSpreadDb) * input.anomaly_threshold_low))
                continue;
            const std::string& sat = points.satellite(p);
            if (!contains(satellites, sat)) satellites.push_back(sat);
            const std::string system = p.system;
            if (!contains(systems, system)) systems.push_back(system);
            if (!any || drop > max_drop) max_drop = drop;
            any = true;
        }
        if (satellites.size() < 2) continue;

        Anomaly a;
        a.timestamp = t < points.times.size() ? points.times[t] : std::string();
        if (max_drop >= input.anomaly_threshold_critical) a.severity = "critical";
        else if (max_drop >= input.anomaly_threshold_high) a.severity = "high";
        else a.severity = "low";
        a.event_type = (systems.size() >= 2 || satellites.size() >= 4) ? "Multi-system CN0 drop"
                                                                       : "Multi-satellite CN0 drop";
        append_fixed(a.description, max_drop, 1);
        a.description += " dB-Hz drop affecting ";
        append_uint(a.description, satellites.size());
        a.description += " satellite(s)";
        a.cn0_drop = max_drop;
        a.affected_satellites = std::move(satellites);
        a.affected_systems = std::move(systems);
        result.anomalies.push_back(std::move(a));
    }

    Summary& s = result.summary;
    s.anomaly_count = result.anomalies.size();
    for (const Anomaly& a : result.anomalies) {
        if (a.severity == "critical") ++s.critical_count;
        else if (a.severity == "high") ++s.high_count;
        else if (a.severity == "low") ++s.low_count;
    }
}

namespace {

// Number of time bins of the result's time series; 1 for an empty series.
double time_bins(const AnalysisResult& result) {
    const std::size_t n = result.timeseries.timestamps.size();
    return static_cast<double>(n == 0 ? 1 : n);
}

}  // namespace

bool jamming_detected(const AnalysisResult& result) {
    const double critical_share = static_cast<double>(result.summary.critical_count) / time_bins(result);
    if (!(critical_share > 0.05)) return false;
    const bool multi_system_critical =
        std::any_of(result.anomalies.begin(), result.anomalies.end(), [](const Anomaly& a) {
            return a.severity == "critical" && a.affected_systems.size() > 1;
        });
    return multi_system_critical || result.summary.mean_cn0 < 35.0;
}

bool spoofing_detected(const AnalysisResult& result) {
    const VisibilityResult* v = usable_prediction(result);
    if (v == nullptr) return false;
    return v->mean_unexpected / v->mean_observed > 0.4 && v->mean_observed > 0.0 &&
           v->mean_unexpected > 8.0;
}

bool interference_detected(const AnalysisResult& result) {
    const std::uint64_t n = result.summary.anomaly_count;
    return static_cast<double>(n) / time_bins(result) > 0.01 && n >= 3;
}

}  // namespace tessora
