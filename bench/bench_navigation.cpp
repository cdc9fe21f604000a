// Navigation benchmarks on the real broadcast files: reading throughput (MB/s) and satellite
// positions per second over a day of 30-second epochs, Keplerian and GLONASS separately.
// Usage: bench_navigation [DATA_DIR]   (default: $TESSORA_DATA_DIR or ../shared/data beside the repository)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "navigation/geometry.hpp"
#include "navigation/nav_reader.hpp"

using namespace tessora;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

fs::path data_dir(int argc, char** argv) {
    if (argc > 1) return argv[1];
    if (const char* e = std::getenv("TESSORA_DATA_DIR")) return e;
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "shared" / "data";
}

volatile double g_sink;

struct PositionRun {
    std::size_t calls = 0;
    std::size_t found = 0;
    double seconds = 0.0;
};

// Every satellite of `ids` at every 30 s epoch of the day starting at `day`; the satellite is
// looked up once and evaluated at all epochs.
PositionRun positions(const NavigationData& nav, const std::vector<std::string>& ids, const EpochTime& day, int repeats) {
    std::vector<double> jds;
    for (int i = 0; i < 2880; ++i) {
        EpochTime t = day;
        t.hour = static_cast<std::uint32_t>(i / 120);
        t.minute = static_cast<std::uint32_t>((i / 2) % 60);
        t.second = (i % 2) * 30.0;
        jds.push_back(julian_date(t));
    }
    PositionRun run;
    const auto t0 = Clock::now();
    double acc = 0.0;
    for (int r = 0; r < repeats; ++r)
        for (const std::string& id : ids) {
            const SatelliteOrbit orbit = find_satellite(nav, id);
            for (double jd : jds) {
                ++run.calls;
                if (auto p = satellite_position(orbit, jd)) {
                    ++run.found;
                    acc += (*p)[0];
                }
            }
        }
    run.seconds = seconds_since(t0);
    g_sink = acc;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = data_dir(argc, argv);
    std::ifstream manifest(dir / "NAV_MANIFEST.tsv");
    if (!manifest) {
        std::printf("real data not available in %s\n", dir.c_str());
        return 0;
    }
    std::vector<fs::path> files;
    std::string line;
    std::getline(manifest, line);
    while (std::getline(manifest, line)) files.push_back(dir / line.substr(0, line.find('\t')));

    // ---- reading
    std::vector<std::string> contents;
    std::size_t total = 0;
    for (const auto& f : files) {
        contents.push_back(slurp(f));
        total += contents.back().size();
    }
    double best = 1e30;
    std::size_t records = 0;
    for (int rep = 0; rep < 5; ++rep) {
        const auto t0 = Clock::now();
        records = 0;
        for (const std::string& c : contents) {
            auto r = read_navigation_content(c);
            if (r.ok()) records += r.value().satellite_count();
        }
        best = std::min(best, seconds_since(t0));
    }
    std::printf("read: %zu files, %.1f MB, best of 5 %.3f s -> %.1f MB/s (%zu satellites)\n", files.size(), total / 1e6, best,
                total / 1e6 / best, records);

    // Largest single files separately.
    for (const char* rel : {"rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx", "rinex/NAV/V4/BRD400DLR_S_20230710000_01D_MN.rnx",
                            "georinex/brdc2800.15n"}) {
        const std::string c = slurp(dir / rel);
        if (c.empty()) continue;
        double b = 1e30;
        for (int rep = 0; rep < 5; ++rep) {
            const auto t0 = Clock::now();
            auto r = read_navigation_content(c);
            g_sink = static_cast<double>(r.ok() ? r.value().satellite_count() : 0);
            b = std::min(b, seconds_since(t0));
        }
        std::printf("read %s: %.2f MB in %.4f s -> %.1f MB/s\n", rel, c.size() / 1e6, b, c.size() / 1e6 / b);
    }

    // ---- positions over a day of 30 s epochs
    const std::string mixed = slurp(dir / "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx");
    auto nav = read_navigation_content(mixed);
    if (!nav.ok()) return 0;
    const EpochTime day{2020, 6, 25, 0, 0, 0.0};
    std::vector<std::string> kepler, glonass;
    for (const auto* m : {&nav.value().gps, &nav.value().galileo, &nav.value().beidou})
        for (const auto& [id, list] : *m) kepler.push_back(id);
    for (const auto& [id, list] : nav.value().glonass) glonass.push_back(id);
    std::sort(kepler.begin(), kepler.end());
    std::sort(glonass.begin(), glonass.end());

    const PositionRun k = positions(nav.value(), kepler, day, 3);
    std::printf("Keplerian positions: %zu satellites, %zu calls (%zu with a position) in %.3f s -> %.2f M calls/s\n",
                kepler.size(), k.calls, k.found, k.seconds, k.calls / k.seconds / 1e6);
    const PositionRun g = positions(nav.value(), glonass, day, 3);
    std::printf("GLONASS positions: %zu satellites, %zu calls (%zu with a position) in %.3f s -> %.0f k calls/s\n",
                glonass.size(), g.calls, g.found, g.seconds, g.calls / g.seconds / 1e3);

    // Through the identifier lookup on every call, for comparison.
    {
        const auto t0 = Clock::now();
        std::size_t calls = 0;
        double acc = 0.0;
        for (const std::string& id : kepler)
            for (int i = 0; i < 2880; ++i) {
                EpochTime t = day;
                t.hour = static_cast<std::uint32_t>(i / 120);
                t.minute = static_cast<std::uint32_t>((i / 2) % 60);
                t.second = (i % 2) * 30.0;
                ++calls;
                if (auto p = satellite_position(nav.value(), id, t)) acc += (*p)[1];
            }
        const double s = seconds_since(t0);
        g_sink = acc;
        std::printf("Keplerian positions by identifier and epoch time: %zu calls in %.3f s -> %.2f M calls/s\n", calls, s,
                    calls / s / 1e6);
    }
    return 0;
}
