// Prints what the RTCM 3 decoder makes of a file, for comparison with independent decoders.
//   rtcm_dump --cells FILE
//       one JSON line per observation cell: the frame's index among the frames with a good
//       checksum, the message number, satellite, RINEX signal code, pseudorange and phase range
//       (m), range rate (m/s) and CNR (dB-Hz), null where absent
//   rtcm_dump --record [--date YYYY-MM-DD] [--file-time UNIX] FILE
//       the recording: "W <week source>", then "E <y> <m> <d> <h> <min> <s>" per epoch and
//       "O <sat> <code> <value> <lli>" per observation, and a final "N <key>=<value>..." line
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/file.hpp"
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
    std::printf("N skipped=%llu crc=%llu malformed=%llu nav=%zu interval=%g\n",
                static_cast<unsigned long long>(r.skipped_bytes), static_cast<unsigned long long>(r.crc_failures),
                static_cast<unsigned long long>(r.malformed), r.nav ? r.nav->satellite_count() : 0, o.interval);
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
    return 2;
}
