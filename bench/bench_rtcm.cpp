// RTCM 3 decoding benchmark on the real recordings: throughput (MB/s) and epochs per second of the
// one-shot decoding, and of the same stream fed in 1460-byte pieces (a network stream's segments).
// Usage: bench_rtcm [DATA_DIR]   (default: $TESSORA_DATA_DIR or ../shared/data beside the repository)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rtcm/rtcm.hpp"

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

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = data_dir(argc, argv) / "rtcm";
    std::vector<std::string> streams;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file() && e.path().extension() != ".tsv") streams.push_back(slurp(e.path()));
    if (streams.empty()) {
        std::fprintf(stderr, "no recordings under %s\n", dir.string().c_str());
        return 1;
    }
    std::size_t bytes = 0;
    for (const auto& s : streams) bytes += s.size();
    for (const bool pieces : {false, true}) {
        std::size_t epochs = 0;
        const int rounds = 20;
        const auto t0 = Clock::now();
        for (int r = 0; r < rounds; ++r)
            for (const auto& s : streams) {
                rtcm::RtcmDecoder d;
                if (pieces)
                    for (std::size_t i = 0; i < s.size(); i += 1460) d.feed(std::string_view(s).substr(i, 1460));
                else
                    d.feed(s);
                d.finish();
                epochs += d.recording().obs.epochs.size();
            }
        const double t = seconds_since(t0);
        std::printf("%-22s %8.1f MB/s  %10.0f epochs/s  (%zu files, %zu bytes, %d rounds)\n",
                    pieces ? "fed in 1460-byte pieces" : "one shot", rounds * bytes / t / 1e6, epochs / t,
                    streams.size(), bytes, rounds);
    }
    return 0;
}
