// Prints what the observation reader stores, for comparison with an independent reader:
//   E <year> <month> <day> <hour> <minute> <second> <flag>
//   O <satellite> <code> <value with 17 significant digits>   (signal-strength codes only)
// With --expand first, prints the plain text of a compressed file instead.
#include <cstdio>
#include <string>

#include "archive/expand.hpp"
#include "common/file.hpp"
#include "rinex/obs_reader.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: obs_dump [--expand] FILE\n");
        return 2;
    }
    std::string bytes, err;
    if (std::string(argv[1]) == "--expand" && argc > 2) {
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
    if (!tessora::read_whole_file(argv[1], bytes, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    auto rec = tessora::read_rinex_obs(bytes, tessora::file_name_of(argv[1]));
    if (!rec) {
        std::fprintf(stderr, "%s\n", rec.error().c_str());
        return 1;
    }
    const auto& r = rec.value();
    std::printf("V %.2f\n", r.version);
    for (const auto& e : r.epochs) {
        std::printf("E %d %u %u %u %u %.17g %u\n", e.time.year, e.time.month, e.time.day, e.time.hour, e.time.minute,
                    e.time.second, e.flag);
        for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                if (r.is_snr_code(r.obs_codes[i]))
                    std::printf("O %s %s %.17g\n", std::string(r.sat_name(*s)).c_str(), std::string(r.code_name(i)).c_str(),
                                r.obs_values[i]);
    }
    return 0;
}
