// Observation reader throughput on one core, without Python: bench_obs_reader FILE [REPEATS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/file.hpp"
#include "rinex/obs_reader.hpp"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    std::string bytes, err;
    if (!tessora::read_whole_file(argv[1], bytes, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    double best = 1e9;
    std::size_t n = 0;
    for (int i = 0; i < repeats; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        auto rec = tessora::read_rinex_obs(bytes, "x");
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
        n = rec.value().obs_values.size();
    }
    std::printf("%zu observations, best %.3f s, %.1f MB/s\n", n, best, bytes.size() / 1e6 / best);
}
