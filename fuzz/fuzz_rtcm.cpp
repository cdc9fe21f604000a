// Fuzz target of the RTCM 3 decoder. The first byte picks the mode: with bit 0 clear the rest is
// a raw byte stream (framing, checksums, resynchronisation); with bit 0 set it is a list of
// payloads, each behind a two-byte length, which are framed here with a good checksum, so that
// mutations reach the message decoders behind the checksum. The stream is decoded at once and
// in two pieces split where the first byte says; both must give the same recording, and the
// recording must hold only what a record may hold.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "navigation/geometry.hpp"
#include "rtcm/frame.hpp"
#include "rtcm/rtcm.hpp"

namespace {

volatile double g_sink;

std::string framed(std::string_view list) {
    std::string out;
    std::size_t i = 0;
    while (i + 2 <= list.size()) {
        const std::size_t n = (static_cast<unsigned char>(list[i]) << 8 | static_cast<unsigned char>(list[i + 1])) & 0x3FF;
        i += 2;
        const std::string_view payload = list.substr(i, n);
        out += tessora::rtcm::make_frame(payload);
        i += payload.size();
    }
    return out;
}

void check(const tessora::rtcm::RtcmRecording& r) {
    const auto& rec = r.obs;
    for (const auto& e : rec.epochs) {
        if (e.sat_count == 0) __builtin_trap();
        for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s) {
            if (s->obs_count == 0 || !tessora::is_valid_utf8(rec.sat_name(*s))) __builtin_trap();
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                if (rec.obs_values[i] == 0.0 || !std::isfinite(rec.obs_values[i])) __builtin_trap();
        }
    }
    if (!tessora::is_valid_utf8(rec.receiver_type) || !tessora::is_valid_utf8(rec.antenna_type)) __builtin_trap();
    if (!r.nav) return;
    for (const auto* map : {&r.nav->gps, &r.nav->galileo, &r.nav->beidou})
        for (const auto& [sat, list] : *map)
            if (auto p = tessora::satellite_position(*r.nav, sat, list.front().epoch)) g_sink = (*p)[0];
    for (const auto& [sat, list] : r.nav->glonass)
        if (auto p = tessora::satellite_position(*r.nav, sat, list.front().epoch)) g_sink = (*p)[1];
}

bool same(const tessora::rtcm::RtcmRecording& a, const tessora::rtcm::RtcmRecording& b) {
    return a.message_counts == b.message_counts && a.skipped_bytes == b.skipped_bytes &&
           a.crc_failures == b.crc_failures && a.malformed == b.malformed && a.obs.epochs.size() == b.obs.epochs.size() &&
           a.obs.obs_values.size() == b.obs.obs_values.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string stream = (data[0] & 1) ? framed(rest) : std::string(rest);
    tessora::rtcm::RtcmOptions options;
    if (data[0] & 2) options.date = tessora::EpochTime{2024, 6, 5, 0, 0, 0.0};
    const auto whole = tessora::rtcm::decode_rtcm3(stream, options);
    check(whole);
    tessora::rtcm::RtcmDecoder d(options);
    const std::size_t split = stream.empty() ? 0 : (static_cast<std::size_t>(data[0]) * 131) % stream.size();
    d.feed(std::string_view(stream).substr(0, split));
    d.feed(std::string_view(stream).substr(split));
    d.finish();
    if (!same(whole, d.recording())) __builtin_trap();
    return 0;
}

namespace {

// Fields most significant bit first.
struct Bits {
    std::string s;
    std::size_t n = 0;
    Bits& put(std::uint64_t v, unsigned width) {
        for (unsigned i = width; i-- > 0; ++n) {
            if (n % 8 == 0) s += '\0';
            if ((v >> i) & 1) s.back() = static_cast<char>(s.back() | (0x80 >> (n % 8)));
        }
        return *this;
    }
};

// An MSM of `flavour` (4..7) with two satellites and two signals.
std::string msm(int type, int flavour) {
    const bool ext = flavour >= 6, rates = flavour == 5 || flavour == 7;
    Bits b;
    b.put(static_cast<std::uint64_t>(type), 12).put(1, 12).put(345600000, 30).put(1, 1).put(0, 18);
    b.put((std::uint64_t{1} << 59) | (std::uint64_t{1} << 40), 64).put((1u << 30) | (1u << 24), 32).put(0xF, 4);
    for (int i = 0; i < 2; ++i) b.put(72, 8);
    if (rates)
        for (int i = 0; i < 2; ++i) b.put(9, 4);
    for (int i = 0; i < 2; ++i) b.put(300 + i, 10);
    if (rates)
        for (int i = 0; i < 2; ++i) b.put(static_cast<std::uint64_t>(-400) & 0x3FFF, 14);
    for (int i = 0; i < 4; ++i) b.put(1234 + i, ext ? 20 : 15);
    for (int i = 0; i < 4; ++i) b.put(5678 + i, ext ? 24 : 22);
    for (int i = 0; i < 4; ++i) b.put(3 + i, ext ? 10 : 4);
    for (int i = 0; i < 4; ++i) b.put(i & 1, 1);
    for (int i = 0; i < 4; ++i) b.put(ext ? 700 + i : 44 + i, ext ? 10 : 6);
    if (rates)
        for (int i = 0; i < 4; ++i) b.put(100 + i, 15);
    return b.s;
}

// A message of `bits` bits after its number, with a repeating bit pattern.
std::string patterned(int type, std::size_t bits, std::uint64_t pattern) {
    Bits b;
    b.put(static_cast<std::uint64_t>(type), 12);
    for (std::size_t i = 0; i < bits; i += 16) b.put(pattern >> (i % 48), 16);
    return b.s;
}

std::string station_1033() {
    Bits b;
    b.put(1033, 12).put(1, 12);
    for (const std::string& t : {std::string("TRM59800.00     NONE"), std::string("12345")}) {
        b.put(t.size(), 8);
        for (char c : t) b.put(static_cast<unsigned char>(c), 8);
        if (t.size() > 10) b.put(0, 8);
    }
    for (const std::string& t : {std::string("SEPT POLARX5"), std::string("5.4.0"), std::string("3001")}) {
        b.put(t.size(), 8);
        for (char c : t) b.put(static_cast<unsigned char>(c), 8);
    }
    return b.s;
}

std::string listed(const std::vector<std::string>& payloads) {
    std::string s(1, '\x03');
    for (const auto& p : payloads) {
        s += static_cast<char>(p.size() >> 8);
        s += static_cast<char>(p.size() & 0xFF);
        s += p;
    }
    return s;
}

}  // namespace

std::vector<std::string> fuzz_seeds() {
    std::vector<std::string> msms;
    for (int base : {1070, 1080, 1090, 1100, 1110, 1120, 1130})
        for (int f = 4; f <= 7; ++f) msms.push_back(msm(base + f, f));
    const std::vector<std::string> others = {
        patterned(1004, 64 + 3 * 125, 0x5A5A3C3C0F0F), patterned(1012, 61 + 3 * 130, 0x123456789ABC),
        patterned(1002, 64 + 2 * 74, 0x0F0F0F0F0F0F), patterned(1010, 61 + 2 * 79, 0x00FF00FF00FF),
        patterned(1005, 140, 0x0000123456780), patterned(1006, 156, 0x00004567890A),
        patterned(1019, 476, 0x19A2B3C4D5E6), patterned(1020, 348, 0x2A3B4C5D6E7F),
        patterned(1042, 499, 0x3141592653589), patterned(1044, 473, 0x271828182845),
        patterned(1045, 484, 0x161803398874), patterned(1046, 492, 0x141421356237), station_1033()};
    std::vector<std::string> all = msms;
    all.insert(all.end(), others.begin(), others.end());
    std::string raw(1, '\x02');
    for (const auto& p : all) raw += tessora::rtcm::make_frame(p);
    const std::string junk("\x00garbage\xD3\x03\xFF", 11), cut("\xD3\x00\x05", 3);
    const std::string dirty = junk + raw.substr(1, 700) + cut + raw.substr(701);
    return {listed(all), listed(msms), listed(others), raw, dirty};
}
