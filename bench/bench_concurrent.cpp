// Scaling of whole analyses over threads, without Python:
//   bench_concurrent OBS_FILE [NAV_FILE|-] [ANALYSES] [THREADS] [REPEATS] [json]
// Runs ANALYSES (default 4) whole analyses from the files one after the other, then spread over
// THREADS (default 2) threads, each analysis followed by the release of its result (and, with
// `json`, by its compact JSON text first). Prints the best wall time of each way, the ratio, and the spread
// of the runs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cn0/analyze.hpp"
#include "cn0/json.hpp"

using namespace tessora;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Runs {
    std::vector<double> v;
    double best() const { return *std::min_element(v.begin(), v.end()); }
    double worst() const { return *std::max_element(v.begin(), v.end()); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_concurrent OBS_FILE [NAV_FILE|-] [ANALYSES] [THREADS] [REPEATS]\n");
        return 2;
    }
    const std::string obs = argv[1];
    const std::string nav = argc > 2 ? argv[2] : "-";
    const int analyses = argc > 3 ? std::max(1, std::atoi(argv[3])) : 4;
    const int nthreads = argc > 4 ? std::max(1, std::atoi(argv[4])) : 2;
    const int repeats = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
    const bool with_json = argc > 6 && std::string(argv[6]) == "json";
    const std::string* nav_path = nav == "-" ? nullptr : &nav;
    const AnalysisConfig config = quick_analysis_config(5.0, std::nullopt);

    std::atomic<std::size_t> json_bytes{0};
    std::atomic<bool> failed{false};
    const auto one = [&] {
        AnalysisOutcome out = analyze_files(obs, nav_path, config);
        if (out.failure != AnalysisFailure::none) {
            std::fprintf(stderr, "%s\n", out.message.c_str());
            failed = true;
            return;
        }
        if (with_json) json_bytes += to_json(out.result).size();
    };

    // BENCH_ONLY=serial or BENCH_ONLY=threaded runs one way only (for profiling it alone).
    const char* only_env = std::getenv("BENCH_ONLY");
    const std::string only = only_env ? only_env : "";
    Runs serial, threaded;
    for (int r = 0; r < repeats; ++r) {
        auto t = Clock::now();
        if (only != "threaded") {
            for (int i = 0; i < analyses; ++i) one();
            serial.v.push_back(seconds_since(t));
        }
        if (only == "serial") continue;

        t = Clock::now();
        std::atomic<int> next{0};
        std::vector<std::thread> threads;
        for (int k = 0; k < nthreads; ++k)
            threads.emplace_back([&] {
                while (next.fetch_add(1) < analyses) one();
            });
        for (auto& th : threads) th.join();
        threaded.v.push_back(seconds_since(t));
        if (failed) return 1;
    }
    if (serial.v.empty()) serial.v.push_back(0.0);
    if (threaded.v.empty()) threaded.v.push_back(1e-9);
    std::printf("%d analyses, best of %d: serial %.3f s (worst %.3f), %d threads %.3f s (worst %.3f): %.2fx\n",
                analyses, repeats, serial.best(), serial.worst(), nthreads, threaded.best(), threaded.worst(),
                serial.best() / threaded.best());
    if (with_json)
        std::printf("JSON bytes per analysis %zu\n",
                    json_bytes.load() / (2 * static_cast<std::size_t>(analyses) * static_cast<std::size_t>(repeats)));
}
