// Fuzz target of the RTCM 3 encoder: a record read from the input (RINEX 2 or 3 text) is encoded
// as MSM7 and as MSM4 and decoded again. Every frame written must pass its checksum and decode,
// and every signal strength read back must be one of the record's, to the message's resolution.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "rinex/obs_reader.hpp"
#include "rtcm/encode.hpp"
#include "rtcm/gnss_time.hpp"
#include "rtcm/rtcm.hpp"

namespace {

using Key = std::tuple<long long, std::string, std::string>;  // ms of GPS time, satellite, band+attribute

// Signal strengths of a record by (time, satellite, signal), for its three-character S codes.
std::multimap<Key, double> strengths(const tessora::RinexObsData& rec) {
    std::multimap<Key, double> out;
    for (const auto& e : rec.epochs) {
        const double gps = tessora::rtcm::gps_seconds(e.time);
        if (!(gps >= 0.0 && gps < 3.8e9)) continue;  // never encoded
        const auto t = static_cast<long long>(std::llround(gps * 1000.0));
        for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                const std::string_view code = rec.code_name(i);
                if (code.size() == 3 && code[0] == 'S')
                    out.emplace(Key{t, std::string(rec.sat_name(*s)), std::string(code.substr(1))}, rec.obs_values[i]);
            }
    }
    return out;
}

void round_trip(const tessora::RinexObsData& rec, int msm) {
    tessora::rtcm::EncodeOptions o;
    o.msm = msm;
    auto epochs = tessora::rtcm::encode_rtcm3(rec, nullptr, o);
    if (!epochs) __builtin_trap();
    std::string stream;
    for (const auto& e : epochs.value()) stream += e.bytes;
    tessora::rtcm::RtcmOptions ro;
    ro.date = rec.epochs.empty() ? tessora::EpochTime{2020, 1, 1, 12, 0, 0.0} : rec.epochs.front().time;
    const auto back = tessora::rtcm::decode_rtcm3(stream, ro);
    if (back.crc_failures != 0 || back.malformed != 0 || back.skipped_bytes != 0) __builtin_trap();
    if (rec.time_system != "GPS" && !rec.time_system.empty()) return;
    // The messages carry the time of the week only: a record that spans more than half a week
    // cannot be placed again.
    for (const auto& e : rec.epochs)
        if (std::fabs(tessora::exact_seconds_between(e.time, rec.epochs.front().time)) > 3 * 86400.0) return;
    if (back.obs.epochs.size() > epochs.value().size()) __builtin_trap();
    const auto original = strengths(rec);
    std::set<std::pair<std::string, std::string>> named;  // signals the record names in RINEX 3 terms
    for (const auto& [key, v] : original) named.emplace(std::get<1>(key), std::get<2>(key));
    const double step = msm == 7 ? 1.0 / 16.0 : 1.0;
    for (const auto& [key, v] : strengths(back.obs)) {
        if (!named.count({std::get<1>(key), std::get<2>(key)})) continue;  // a RINEX 2 code given a mode
        bool found = false;
        for (auto [it, end] = original.equal_range(key); it != end && !found; ++it) {
            const double o = it->second;
            // Values beyond the field are held at its ends.
            found = std::fabs(o - v) <= step / 2 + 1e-9 || (o < step && v == step) || (o > 63.0 && v >= 63.0);
        }
        if (!found) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rec = tessora::read_rinex_obs(bytes, "fuzz.obs");
    if (!rec) return 0;
    round_trip(*rec, 7);
    round_trip(*rec, 4);
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string h3 =
        "     3.04           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "TEST                                                        MARKER NAME\n"
        "1234                SEPT POLARX5        5.2.0               REC # / TYPE / VERS\n"
        "5678                TRM59800.00     NONE                    ANT # / TYPE\n"
        "  3582105.2910   532589.7313  5232754.8054                  APPROX POSITION XYZ\n"
        "G    5 C1C L1C D1C S1C S2W                                  SYS / # / OBS TYPES\n"
        "R    3 C1C L1C S1C                                          SYS / # / OBS TYPES\n"
        "E    8 C1C L1C D1C S1C C5Q L5Q D5Q S5Q                      SYS / # / OBS TYPES\n"
        "S    2 C1C S1C                                              SYS / # / OBS TYPES\n"
        "    30.000                                                  INTERVAL\n"
        "  2020     6    25     0     0    0.0000000     GPS         TIME OF FIRST OBS\n"
        "  3 R01  1 R02 -4 R07  5                                    GLONASS SLOT / FRQ #\n"
        "                                                            END OF HEADER\n";
    const std::string d3 =
        "> 2020 06 25 00 00  0.0000000  0  4\n"
        "G01  20000000.123 7 105100000.123 5      -123.456 7        45.250          46.000\n"
        "R07  21000000.000    112300000.000 6        30.500\n"
        "E05  23000000.000    120866000.000          1234.000          47.000  23000001.000\n"
        "S23  38000000.000            40.250\n"
        "> 2020 06 25 00 00 30.0000000  1  2\n"
        "G01  20000300.123 7 105101000.123 1      -123.456 7        45.500\n"
        "G02  20000000.000                                          12.000\n"
        "> 2020 06 25 00 01  0.0000000  0  1\n"
        "G01  20000600.000    105102000.000          -120.000           0.020\n";
    const std::string h2 =
        "     2.11           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "SITE                                                        MARKER NAME\n"
        "     6    C1    L1    D1    P2    S1    S2                  # / TYPES OF OBSERV\n"
        "    30.0000                                                 INTERVAL\n"
        "                                                            END OF HEADER\n";
    const std::string d2 =
        " 20  6 25  0  0  0.0000000  0  4G01S20R03E04\n"
        "  20000000.123   105100000.123     -80.123    20000001.000        45.000\n"
        "        40.000\n"
        "  38000000.123   199000000.123                                        44.000\n"
        "        39.000\n"
        "  21000000.123   112300000.123                                        43.000\n"
        "  22000000.123   115600000.123                                        42.000\n";
    return {h3 + d3, h2 + d2};
}
