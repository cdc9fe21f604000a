// Fuzz target of the binary record states (pickling). The first byte picks the kind of record;
// the rest is decoded as its state. With the first byte's bit 7 set, the checksum at the end is
// made right first, so that mutations reach the structure checks behind it (a hostile state,
// not a damaged one). A state that decodes must encode back to the same bytes,
// and the decoded record must serve its views (summaries, JSON) like one read from a file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include <cstring>

#include "cn0/analyze.hpp"
#include "cn0/json.hpp"
#include "cn0/state.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/obs_reader.hpp"
#include "rinex/obs_summary.hpp"

namespace {

template <typename T>
void round_trip(const tessora::Expected<T>& r, std::string_view in) {
    if (r && tessora::encode_state(r.value()) != in) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::string state(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 0x80) && state.size() >= 4) {
        const auto crc = static_cast<std::uint32_t>(
            crc32(0L, reinterpret_cast<const Bytef*>(state.data()), static_cast<uInt>(state.size() - 4)));
        std::memcpy(state.data() + state.size() - 4, &crc, 4);
    }
    const std::string_view s(state);
    switch (data[0] % 5) {
        case 0: {
            auto r = tessora::decode_observations_state(s);
            round_trip(r, s);
            if (r) {
                (void)tessora::debug_info(r.value());
                (void)tessora::snr_stats_by_satellite(r.value());
                auto obs = std::make_shared<const tessora::RinexObsData>(std::move(r.value()));
                (void)tessora::to_json(tessora::analyze_records(tessora::quick_analysis_config(5.0, std::nullopt), obs, nullptr));
            }
            break;
        }
        case 1: round_trip(tessora::decode_navigation_state(s), s); break;
        case 2: round_trip(tessora::decode_config_state(s), s); break;
        case 3: {
            auto r = tessora::decode_result_state(s);
            round_trip(r, s);
            if (r) {
                (void)tessora::to_json_pretty(r.value());
                (void)tessora::quality_score_values(r.value());
                (void)tessora::jamming_detected(r.value());
                (void)tessora::spoofing_detected(r.value());
                (void)tessora::interference_detected(r.value());
            }
            break;
        }
        default: round_trip(tessora::decode_quality_state(s), s); break;
    }
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string obs_text =
        "     3.04           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "  3582105.2910   532589.7313  5232754.8054                  APPROX POSITION XYZ\n"
        "G    3 C1C L1C S1C                                          SYS / # / OBS TYPES\n"
        "E    2 C1C S1C                                              SYS / # / OBS TYPES\n"
        "                                                            END OF HEADER\n"
        "> 2020 06 25 00 00  0.0000000  0  2\n"
        "G01  20000000.123 7 100000000.12345        45.250\n"
        "E05  23000000.000          47.000\n"
        "> 2020 06 25 00 00 30.0000000  0  2\n"
        "G01  20000300.123 7 100000300.12345        25.500\n"
        "E05  23000000.000          47.000\n";
    auto obs = tessora::read_rinex_obs(obs_text, "seed.obs");
    auto shared = std::make_shared<const tessora::RinexObsData>(obs.value());
    const auto result = tessora::analyze_records(tessora::quick_analysis_config(5.0, std::nullopt), shared, nullptr);
    tessora::NavigationData nav;
    tessora::KeplerEphemeris k;
    k.sqrt_a = 5153.7;
    k.prn = 1;
    k.prepare();
    nav.gps["G01"].push_back(k);
    tessora::GlonassEphemeris g;
    g.slot = 5;
    nav.glonass["R05"].push_back(g);
    nav.glonass_channels["R05"] = -3;
    std::vector<std::string> seeds = {std::string(1, '\x00') + tessora::encode_state(obs.value()),
            std::string(1, '\x01') + tessora::encode_state(nav),
            std::string(1, '\x02') + tessora::encode_state(tessora::quick_analysis_config(7.5, std::vector<std::string>{"G", "E"})),
            std::string(1, '\x03') + tessora::encode_state(result),
            std::string(1, '\x04') + tessora::encode_state(tessora::quality_score_values(result))};
    for (std::size_t i = 0; i < 5; ++i) seeds.push_back(std::string(1, static_cast<char>(0x80 | i)) + seeds[i].substr(1));
    return seeds;
}
