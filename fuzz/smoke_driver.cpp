// Deterministic stand-in for libFuzzer: feeds the fuzz target its built-in seeds and a fixed
// number of seeded mutations of them, so that CI runs the readers on garbage input under the
// sanitizers. Usage: <target>_smoke ITERATIONS SEED, or <target>_smoke --dump-seeds DIR to write
// the seeds as the start of a libFuzzer corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Seeds of the target (defined next to the target).
std::vector<std::string> fuzz_seeds();

namespace {

std::string mutate(std::string s, std::mt19937_64& rng, const std::vector<std::string>& seeds) {
    const int rounds = 1 + static_cast<int>(rng() % 8);
    for (int r = 0; r < rounds; ++r) {
        const std::size_t n = s.size();
        switch (rng() % 9) {
            case 0:  // flip a byte
                if (n) s[rng() % n] = static_cast<char>(rng());
                break;
            case 1:  // insert random bytes
                s.insert(n ? rng() % n : 0, std::string(1 + rng() % 8, static_cast<char>(rng())));
                break;
            case 2:  // erase a range
                if (n) {
                    std::size_t a = rng() % n;
                    s.erase(a, 1 + rng() % 64);
                }
                break;
            case 3:  // truncate
                if (n) s.resize(rng() % n);
                break;
            case 4:  // duplicate a line range
                if (n) {
                    std::size_t a = rng() % n;
                    s.insert(a, s.substr(a, 1 + rng() % 200));
                }
                break;
            case 5: {  // splice another seed
                const std::string& o = seeds[rng() % seeds.size()];
                if (!o.empty()) s.insert(n ? rng() % n : 0, o.substr(rng() % o.size(), 1 + rng() % 300));
                break;
            }
            case 6: {  // a digit or count made huge
                static const char* bigs[] = {"99999999999999999999", "4294967296", "-1", "nan", "inf", "1e400", "255", "256"};
                if (n) s.insert(rng() % n, bigs[rng() % 8]);
                break;
            }
            case 7: {  // invalid / cut UTF-8
                static const char* bad[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xFF", "\xED\xA0\x80", "\xC2\xA0"};
                if (n) s.insert(rng() % n, bad[rng() % 6]);
                break;
            }
            default:  // line ending changes
                if (n) s.insert(rng() % n, (rng() & 1) ? "\r\n" : "\n");
                break;
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--dump-seeds") {
        const std::vector<std::string> seeds = fuzz_seeds();
        for (std::size_t i = 0; i < seeds.size(); ++i)
            std::ofstream(std::string(argv[2]) + "/seed" + std::to_string(i), std::ios::binary) << seeds[i];
        return 0;
    }
    const long iterations = argc > 1 ? std::atol(argv[1]) : 10000;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::mt19937_64 rng(seed);
    const std::vector<std::string> seeds = fuzz_seeds();
    for (const auto& s : seeds) LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    for (long i = 0; i < iterations; ++i) {
        std::string input = mutate(seeds[rng() % seeds.size()], rng, seeds);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    return 0;
}
