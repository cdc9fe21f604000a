// Throughput of the JSON writer on a result of the size a daily multi-GNSS recording gives:
// ~100 satellites, 2880 epochs (30 s), two CN0 signals each, full-precision look angles.
//
//   bench_json [repetitions] [dump-prefix]
//
// With a dump prefix the compact and indented texts are also written to <prefix>.json and
// <prefix>.pretty.json (for checking them with an independent JSON parser).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <ctime>
#include <string>
#include <vector>

#include "cn0/json.hpp"

using namespace tessora;

namespace {

std::string epoch_text(int i) {
    const int s = i * 30;
    char buf[40];
    std::snprintf(buf, sizeof buf, "2024-03-05T%02d:%02d:%02d.000Z", s / 3600, (s / 60) % 60, s % 60);
    return buf;
}

AnalysisResult synthetic_result() {
    constexpr int kEpochs = 2880;
    const char* systems[] = {"G", "R", "E", "C"};
    const char* names[] = {"GPS", "GLONASS", "Galileo", "BeiDou"};
    const int per_system[] = {31, 24, 25, 20};
    const char* signals[] = {"S1C", "S2W"};

    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> angle(0.0, 1.0);
    AnalysisResult r;
    r.file_info = {"", "ABMF00GLP", "SEPT POLARX5", "TRM57971.00     NONE", epoch_text(0), epoch_text(kEpochs - 1),
                   23.991666666666667, 30.0, 16.262302697535365, -61.52754756004577, -25.6};
    r.quality_score = {87.43, 91.2, 98.5, 72.125, "B", "Good signal quality with minor issues"};
    std::vector<std::string> times;
    for (int i = 0; i < kEpochs; ++i) times.push_back(epoch_text(i));
    r.timeseries.timestamps = times;
    for (int i = 0; i < kEpochs; ++i) {
        r.timeseries.mean_cn0.push_back(40.0 + angle(rng) * 8.0);
        r.timeseries.satellite_count.push_back(35 + rng() % 10);
    }
    std::uint64_t total = 0;
    for (int s = 0; s < 4; ++s) {
        auto& cstats = r.constellation_stats[names[s]];
        cstats = {names[s], static_cast<std::uint64_t>(per_system[s]), 0, 42.5, 12.0, 55.25, 6.2, 32, 0.96875, 0, 3};
        auto& cseries = r.timeseries.constellation_timeseries[names[s]];
        for (int n = 1; n <= per_system[s]; ++n) {
            char id[8];
            std::snprintf(id, sizeof id, "%s%02d", systems[s], n);
            const double az0 = angle(rng) * 360.0, el0 = angle(rng) * 80.0;
            SkyplotTrace trace{id, names[s], {}};
            for (int sig = 0; sig < 2; ++sig) {
                SatelliteTimeseries* ts = nullptr;
                if (sig == 0) {
                    ts = &r.timeseries.satellite_timeseries[id];
                    *ts = {id, names[s], signals[sig], {}};
                }
                for (int e = 0; e < kEpochs; ++e) {
                    // Look angles as the geometry gives them (full precision), CN0 as RINEX
                    // writes it (three decimals at most).
                    const double az = std::fmod(az0 + e * 0.0625 + angle(rng) * 1e-3, 360.0);
                    const double el = std::fabs(el0 + 10.0 * std::sin(e * 1e-3)) + angle(rng) * 1e-6;
                    const double cn0 = std::round((30.0 + angle(rng) * 25.0) * 4.0) / 4.0;
                    CN0Point p{times[e], cn0, el, az};
                    if (ts) ts->cn0_series.push_back(p);
                    cseries.push_back(p);
                    trace.points.push_back({az, el, cn0, id});
                    ++total;
                }
            }
            r.skyplot.traces.push_back(std::move(trace));
            r.satellite_stats[id] = {id, names[s], 2 * kEpochs, 44.125, 21.0, 54.75, 5.862, 37.4};
        }
        cstats.observation_count = static_cast<std::uint64_t>(per_system[s]) * 2 * kEpochs;
        r.summary.systems_observed.push_back(names[s]);
    }
    for (int a = 0; a < 36; ++a) r.heatmap.azimuth_bins.push_back(a * 10.0);
    for (int e = 0; e < 18; ++e) r.heatmap.elevation_bins.push_back(e * 5.0);
    for (int e = 0; e < 18; ++e) {
        std::vector<double> row;
        std::vector<std::uint64_t> counts;
        for (int a = 0; a < 36; ++a) {
            const std::uint64_t c = rng() % 3000;
            row.push_back(c ? 30.0 + angle(rng) * 20.0 : std::nan(""));
            counts.push_back(c);
            if (c) r.skyplot.heatmap_points.push_back({a * 10.0, e * 5.0, row.back(), c});
        }
        r.heatmap.cn0_matrix.push_back(std::move(row));
        r.heatmap.count_matrix.push_back(std::move(counts));
    }
    r.skyplot.coverage_percent = 100.0 * static_cast<double>(r.skyplot.heatmap_points.size()) / 648.0;
    for (int i = 0; i < 40; ++i)
        r.anomalies.push_back({times[static_cast<std::size_t>(i * 70)], "critical", "signal_drop",
                               "CN0 drop of 17.3 dB on G05", 17.25, {"G05"}, {"GPS"}});
    r.summary = {total, 100, kEpochs, r.summary.systems_observed, 43.9, 12.0, 55.25, 40, 40, 0, 0};
    return r;
}

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timing {
    double wall = 1e300;  // best wall-clock seconds
    double cpu = 1e300;   // best process CPU seconds (insensitive to other load on the machine)
    std::size_t bytes = 0;
};

// Includes building the string from scratch each time (allocation and first touch of its pages),
// as every call from Python does.
template <typename F>
Timing measure(int reps, F&& f) {
    Timing t;
    for (int i = 0; i < reps; ++i) {
        const double c0 = cpu_now();
        const auto t0 = std::chrono::steady_clock::now();
        std::string s = f();
        const auto t1 = std::chrono::steady_clock::now();
        const double c1 = cpu_now();
        t.bytes = s.size();
        t.wall = std::min(t.wall, std::chrono::duration<double>(t1 - t0).count());
        t.cpu = std::min(t.cpu, c1 - c0);
    }
    return t;
}

void report(const char* name, const Timing& t, int reps) {
    std::printf("%-15s %7.1f MB: wall %7.1f ms -> %7.1f MB/s, cpu %7.1f ms -> %7.1f MB/s (best of %d)\n", name,
                t.bytes / 1e6, t.wall * 1e3, t.bytes / 1e6 / t.wall, t.cpu * 1e3, t.bytes / 1e6 / t.cpu, reps);
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 10;
    const AnalysisResult r = synthetic_result();
    std::size_t points = 0;
    for (const auto& [k, s] : r.timeseries.satellite_timeseries) points += s.cn0_series.size();
    for (const auto& [k, s] : r.timeseries.constellation_timeseries) points += s.size();
    std::size_t sky = 0;
    for (const auto& t : r.skyplot.traces) sky += t.points.size();
    std::printf("result: %zu CN0Points, %zu SkyplotPoints, %zu epochs, %zu heatmap cells\n", points, sky,
                r.timeseries.timestamps.size(), r.heatmap.cn0_matrix.size() * r.heatmap.azimuth_bins.size());

    report("to_json", measure(reps, [&] { return to_json(r); }), reps);
    report("to_json_pretty", measure(reps, [&] { return to_json_pretty(r); }), reps);

    if (argc > 2) {
        const std::string prefix = argv[2];
        for (const auto& [suffix, text] : {std::pair{".json", to_json(r)}, std::pair{".pretty.json", to_json_pretty(r)}}) {
            std::FILE* f = std::fopen((prefix + suffix).c_str(), "wb");
            if (!f) return 1;
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
    return 0;
}
