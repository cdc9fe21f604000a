// Prints what the RTCM 3 decoder makes of a file, for comparison with independent decoders.
//   rtcm_dump --cells FILE
//       one JSON line per observation cell: the frame's index among the frames with a good
//       checksum, the message number, satellite, RINEX signal code, pseudorange and phase range
//       (m), range rate (m/s) and CNR (dB-Hz), null where absent
//   rtcm_dump --record [--date YYYY-MM-DD] [--file-time UNIX] FILE
//       the recording: "W <week source>", then "E <y> <m> <d> <h> <min> <s>" per epoch and
//       "O <sat> <code> <value> <lli>" per observation, and a final "N <key>=<value>..." line
//   rtcm_dump --nav-compare [--date YYYY-MM-DD] RTCM_FILE RINEX_NAV_FILE
//       the ephemerides of the stream against those of a RINEX navigation file of the same data:
//       "P <sat> <epoch> <metres>" for every ephemeris both have (the largest distance between the
//       satellite positions computed from the two at its epoch, 15 min and 1 h later), then
//       "M <matched> <only in the stream> <only in the file>"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/file.hpp"
#include "navigation/geometry.hpp"
#include "navigation/nav_reader.hpp"
#include "rtcm/bits.hpp"
#include "rtcm/frame.hpp"
#include "rtcm/messages.hpp"
#include "rtcm/rtcm.hpp"

using namespace tessora;

namespace {

void print_number(double v) {
    if (std::isnan(v))
        std::printf("null");
    else
        std::printf("%.17g", v);
}

int dump_cells(const std::string& bytes) {
    rtcm::FrameScanner scanner;
    long index = -1;
    scanner.feed(bytes, [&](std::string_view payload) {
        ++index;
        const int type = rtcm::message_type(payload);
        std::optional<rtcm::ObsMessage> m;
        if (rtcm::msm_system(type) && (type - 1070) % 10 >= 4)
            m = rtcm::decode_msm(payload);
        else if (type == 1002 || type == 1004 || type == 1010 || type == 1012)
            m = rtcm::decode_legacy(payload);
        if (!m) return;
        for (const auto& c : m->cells) {
            std::printf("{\"i\":%ld,\"type\":%d,\"time\":%u,\"sat\":\"%s\",\"sig\":\"%c%c\",\"pr\":", index, type,
                        m->time_ms, c.sat.c_str(), c.code[0], c.code[1]);
            print_number(c.pseudorange);
            std::printf(",\"cp\":");
            print_number(c.phase_range);
            std::printf(",\"rr\":");
            print_number(c.range_rate);
            std::printf(",\"cnr\":");
            print_number(c.cnr);
            std::printf(",\"lock\":");
            print_number(c.lock_ms);
            std::printf(",\"half\":%d}\n", c.half_cycle ? 1 : 0);
        }
    });
    return 0;
}

int dump_record(const std::string& bytes, const rtcm::RtcmOptions& options) {
    const rtcm::RtcmRecording r = rtcm::decode_rtcm3(bytes, options);
    std::printf("W %s\n", r.week_source.c_str());
    const auto& o = r.obs;
    for (const auto& e : o.epochs) {
        std::printf("E %d %u %u %u %u %.6f\n", e.time.year, e.time.month, e.time.day, e.time.hour, e.time.minute,
                    e.time.second);
        for (auto* s = o.sats_begin(e); s != o.sats_end(e); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                const auto ob = o.observation(i);
                std::printf("O %s %s %.17g %d\n", std::string(o.sat_name(*s)).c_str(), std::string(o.code_name(i)).c_str(),
                            ob.value, ob.lli ? *ob.lli : -1);
            }
    }
    std::printf("N skipped=%llu crc=%llu malformed=%llu nav=%zu interval=%g types=",
                static_cast<unsigned long long>(r.skipped_bytes), static_cast<unsigned long long>(r.crc_failures),
                static_cast<unsigned long long>(r.malformed), r.nav ? r.nav->satellite_count() : 0, o.interval);
    const char* sep = "";
    for (const auto& [type, n] : r.message_counts) {
        std::printf("%s%d:%llu", sep, type, static_cast<unsigned long long>(n));
        sep = ",";
    }
    std::printf("\n");
    return 0;
}

template <typename Rec>
const Rec* same_epoch(const std::vector<Rec>& list, const EpochTime& t) {
    for (const auto& r : list)
        if (r.epoch == t) return &r;
    return nullptr;
}

template <typename Map>
void compare_map(const NavigationData& ours, const NavigationData& theirs, const Map& a, const Map& b, long counts[3]) {
    for (const auto& [sat, list] : a) {
        const auto it = b.find(sat);
        for (const auto& rec : list) {
            const auto* other = it == b.end() ? nullptr : same_epoch(it->second, rec.epoch);
            if (!other) {
                ++counts[1];
                std::printf("U stream %s %s\n", sat.c_str(), epoch_text(rec.epoch).c_str());
                continue;
            }
            ++counts[0];
            double worst = 0.0;
            for (double minutes : {0.0, 15.0, 60.0}) {
                EpochTime t = rec.epoch;
                const double jd = julian_date(t) + minutes / 1440.0;
                const auto p = satellite_position(find_satellite(ours, sat), jd);
                const auto q = satellite_position(find_satellite(theirs, sat), jd);
                if (!p || !q) {
                    worst = INFINITY;
                    continue;
                }
                const double d = std::sqrt(std::pow((*p)[0] - (*q)[0], 2) + std::pow((*p)[1] - (*q)[1], 2) +
                                           std::pow((*p)[2] - (*q)[2], 2));
                worst = std::max(worst, d);
            }
            std::printf("P %s %s %.6f\n", sat.c_str(), epoch_text(rec.epoch).c_str(), worst);
        }
    }
    for (const auto& [sat, list] : b) {
        const auto it = a.find(sat);
        for (const auto& rec : list)
            if (it == a.end() || !same_epoch(it->second, rec.epoch)) {
                ++counts[2];
                std::printf("U file %s %s\n", sat.c_str(), epoch_text(rec.epoch).c_str());
            }
    }
}

int compare_nav(const std::string& bytes, const std::string& nav_path, const rtcm::RtcmOptions& options) {
    std::string nav_bytes, err;
    if (!read_whole_file(nav_path, nav_bytes, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    auto theirs = read_navigation_content(nav_bytes);
    if (!theirs) {
        std::fprintf(stderr, "%s\n", theirs.error().c_str());
        return 1;
    }
    const rtcm::RtcmRecording r = rtcm::decode_rtcm3(bytes, options);
    const NavigationData ours = r.nav.value_or(NavigationData{});
    long counts[3] = {0, 0, 0};
    compare_map(ours, *theirs, ours.gps, theirs->gps, counts);
    compare_map(ours, *theirs, ours.galileo, theirs->galileo, counts);
    compare_map(ours, *theirs, ours.beidou, theirs->beidou, counts);
    compare_map(ours, *theirs, ours.glonass, theirs->glonass, counts);
    std::printf("M %ld %ld %ld\n", counts[0], counts[1], counts[2]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: rtcm_dump --cells FILE | --record [--date YYYY-MM-DD] [--file-time UNIX] FILE\n");
        return 2;
    }
    const std::string mode = argv[1];
    rtcm::RtcmOptions options;
    int i = 2;
    for (; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--date") {
            EpochTime t;
            if (std::sscanf(argv[i + 1], "%d-%u-%u", &t.year, &t.month, &t.day) != 3) return 2;
            options.date = t;
        } else if (opt == "--file-time") {
            options.file_time = std::strtod(argv[i + 1], nullptr);
        } else {
            break;
        }
    }
    if (i >= argc) return 2;
    std::string bytes, err;
    if (!read_whole_file(argv[i], bytes, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    options.file_name = file_name_of(argv[i]);
    if (mode == "--cells") return dump_cells(bytes);
    if (mode == "--record") return dump_record(bytes, options);
    if (mode == "--nav-compare" && i + 1 < argc) return compare_nav(bytes, argv[i + 1], options);
    return 2;
}
