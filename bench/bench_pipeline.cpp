// Analysis pipeline timing on one core, without Python:
//   bench_pipeline OBS_FILE [NAV_FILE|-] [REPEATS]
// Prints the best time of each stage (reading, sky geometry, point extraction, visibility,
// statistics) and of the whole analysis including reading.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cn0/pipeline.hpp"
#include "cn0/pipeline_stages.hpp"
#include "common/file.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/obs_reader.hpp"
#include "visibility/visibility.hpp"

using namespace tessora;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Best {
    double v = 1e300;
    void take(double x) { v = std::min(v, x); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_pipeline OBS_FILE [NAV_FILE|-] [REPEATS]\n");
        return 2;
    }
    const std::string nav_path = argc > 2 ? argv[2] : "-";
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    std::string obs_bytes, nav_bytes, err;
    if (!read_whole_file(argv[1], obs_bytes, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    const bool with_nav = nav_path != "-";
    if (with_nav && !read_whole_file(nav_path, nav_bytes, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }

    Best read_obs, read_nav, geometry, points, visibility, statistics, whole;
    std::size_t n_points = 0, n_candidates = 0;
    for (int r = 0; r < repeats; ++r) {
        // Stage by stage.
        auto t = Clock::now();
        auto obs_rec = read_rinex_obs(obs_bytes, "bench");
        read_obs.take(seconds_since(t));
        if (!obs_rec.ok()) {
            std::fprintf(stderr, "%s\n", obs_rec.error().c_str());
            return 1;
        }
        AnalysisInput input;
        input.obs = std::make_shared<const RinexObsData>(std::move(obs_rec.value()));
        input.systems = system_letters(std::nullopt);
        if (with_nav) {
            t = Clock::now();
            auto nav_rec = read_navigation_content(nav_bytes);
            read_nav.take(seconds_since(t));
            if (!nav_rec.ok()) {
                std::fprintf(stderr, "%s\n", nav_rec.error().c_str());
                return 1;
            }
            input.navigation = std::make_shared<const NavigationData>(std::move(nav_rec.value()));
        }
        t = Clock::now();
        const std::optional<SkyGeometry> geo = analysis_geometry(input);
        geometry.take(seconds_since(t));
        n_candidates = geo ? geo->candidates().size() : 0;
        t = Clock::now();
        const PointSet ps = extract_points(input, geo ? &*geo : nullptr);
        points.take(seconds_since(t));
        n_points = ps.points.size();
        AnalysisResult result;
        if (input.navigation) {
            t = Clock::now();
            result.visibility = predict_visibility(geo, prediction_source_text(*input.navigation),
                                                   input.min_elevation, *input.obs);
            visibility.take(seconds_since(t));
        }
        t = Clock::now();
        fill_statistics(ps, result);
        statistics.take(seconds_since(t));

        // The whole analysis, reading included.
        t = Clock::now();
        AnalysisInput whole_input;
        whole_input.obs = std::make_shared<const RinexObsData>(std::move(read_rinex_obs(obs_bytes, "bench").value()));
        whole_input.systems = input.systems;
        if (with_nav)
            whole_input.navigation =
                std::make_shared<const NavigationData>(std::move(read_navigation_content(nav_bytes).value()));
        const AnalysisResult full = run_analysis(whole_input);
        whole.take(seconds_since(t));
        if (full.summary.total_observations != n_points) std::fprintf(stderr, "inconsistent point counts\n");
    }

    std::printf("points %zu, candidates %zu, best of %d runs (s):\n", n_points, n_candidates, repeats);
    std::printf("  reading obs     %.4f\n", read_obs.v);
    if (with_nav) std::printf("  reading nav     %.4f\n", read_nav.v);
    std::printf("  sky geometry    %.4f\n", with_nav ? geometry.v : 0.0);
    std::printf("  points          %.4f\n", points.v);
    std::printf("  visibility      %.4f\n", with_nav ? visibility.v : 0.0);
    std::printf("  statistics      %.4f\n", statistics.v);
    std::printf("  whole analysis  %.4f (reading included)\n", whole.v);
}
