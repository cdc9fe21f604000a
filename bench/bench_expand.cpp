// Decoding of the compressed real files, without Python.
//   bench_expand DATA_DIR [REPEATS]   every file of DATA_DIR/compressed/MANIFEST.tsv: its layers,
//                                     the SHA-256 of the expanded text against the manifest, and
//                                     the best decoding time
//   bench_expand --cat FILE           writes the expanded content of FILE to standard output
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/expand.hpp"
#include "common/file.hpp"
#include "../tests/support/sha256.hpp"

namespace {

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, '\t')) out.push_back(f);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_expand DATA_DIR [REPEATS] | --cat FILE\n");
        return 2;
    }
    std::string bytes, err;
    if (std::string(argv[1]) == "--cat" && argc > 2) {
        if (!tessora::read_whole_file(argv[2], bytes, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 1;
        }
        auto c = tessora::expand_content(bytes);
        if (!c) {
            std::fprintf(stderr, "%s\n", c.error().c_str());
            return 1;
        }
        std::fwrite(c->view().data(), 1, c->view().size(), stdout);
        return 0;
    }
    const std::string dir = argv[1];
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::ifstream manifest(dir + "/compressed/MANIFEST.tsv");
    if (!manifest) {
        std::fprintf(stderr, "no manifest in %s/compressed\n", dir.c_str());
        return 77;
    }
    std::string line;
    std::getline(manifest, line);  // column names
    int files = 0, good = 0;
    while (std::getline(manifest, line)) {
        const auto f = split_tabs(line);
        if (f.size() < 4) continue;
        ++files;
        const std::string path = dir + "/compressed/" + f[0];
        if (!tessora::read_whole_file(path, bytes, err)) {
            std::printf("%-60s unreadable: %s\n", f[0].c_str(), err.c_str());
            continue;
        }
        double best = 1e9;
        std::string digest, layers;
        std::size_t size = 0;
        bool ok = true;
        for (int i = 0; i < repeats; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            auto c = tessora::expand_content(bytes);
            const auto t1 = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
            if (!c) {
                std::printf("%-60s FAILED: %s\n", f[0].c_str(), c.error().c_str());
                ok = false;
                break;
            }
            if (i == 0) {
                digest = tessora::test_support::Sha256::of(c->view());
                layers = c->description();
                size = c->view().size();
            }
        }
        if (!ok) continue;
        const bool match = digest == f[3] && std::to_string(size) == f[2];
        good += match;
        std::printf("%-60s %-26s %10zu bytes %s  %7.1f ms  %6.0f MB/s\n", f[0].c_str(), layers.c_str(), size,
                    match ? "sha256 ok " : "SHA256 MISMATCH", best * 1e3, size / 1e6 / best);
    }
    std::printf("%d of %d files decode to their listed SHA-256\n", good, files);
    return good == files ? 0 : 1;
}
