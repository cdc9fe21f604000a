// RTCM 3 decoding: framing and resynchronisation, MSM and legacy observations, epochs and their
// GPS time, the week rules, station messages and ephemerides; on the real recordings of the data
// folder (skipped without it) and on messages built here bit by bit.
// (The suites are named rtcm_* so that "ctest -R rtcm" runs them with the RTCM cross-check and fuzz runs.)
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cn0/analyze.hpp"
#include "cn0/config.hpp"
#include "common/file.hpp"
#include "navigation/geometry.hpp"
#include "rtcm/bits.hpp"
#include "rtcm/frame.hpp"
#include "rtcm/gnss_time.hpp"
#include "rtcm/messages.hpp"
#include "rtcm/rtcm.hpp"

using namespace tessora;
using namespace tessora::rtcm;

namespace {

const std::filesystem::path kRtcm = std::filesystem::path(TESSORA_DATA_DIR) / "rtcm";

std::string load(const std::string& name) {
    std::string bytes, err;
    if (!read_whole_file((kRtcm / name).string(), bytes, err)) return {};
    return bytes;
}

#define LOAD_OR_SKIP(var, name)                                   \
    const std::string var = load(name);                           \
    if (var.empty()) GTEST_SKIP() << "real data not available: " << name

// Fields written most significant bit first, as RTCM packs them.
class BitWriter {
public:
    BitWriter& put(std::uint64_t v, unsigned n) {
        for (unsigned i = n; i-- > 0;) bit((v >> i) & 1);
        return *this;
    }
    BitWriter& put_signed(std::int64_t v, unsigned n) { return put(static_cast<std::uint64_t>(v), n); }
    std::string bytes() const { return out_; }

private:
    void bit(std::uint64_t b) {
        if (bits_ % 8 == 0) out_ += '\0';
        if (b) out_.back() = static_cast<char>(out_.back() | (0x80 >> (bits_ % 8)));
        ++bits_;
    }
    std::string out_;
    std::size_t bits_ = 0;
};

// One cell of a built MSM4/MSM5 message (the units of the fields).
struct TestCell {
    std::int64_t fine_pr = 1000, fine_phase = 2000;  // 2^-24 ms, 2^-29 ms
    unsigned lock = 5, half = 0, cnr = 45;
    std::int64_t fine_rate = 0;  // 0.0001 m/s (MSM5)
};

struct TestMsm {
    int type = 1074;
    std::uint32_t time = 100000000;  // ms of week, or (GLONASS) day << 27 | ms of day
    bool more = false;
    std::vector<unsigned> sats{5};
    std::vector<unsigned> signals{2};
    unsigned rough_ms = 70, rough_frac = 512, ext_info = 15;
    std::int64_t rough_rate = -500;  // m/s (MSM5)
    std::vector<TestCell> cells{TestCell{}};  // every (sat, signal) pair, satellite-major
};

std::string msm_payload(const TestMsm& m) {
    const bool rates = m.type % 10 == 5;
    BitWriter w;
    w.put(static_cast<std::uint64_t>(m.type), 12).put(7, 12).put(m.time, 30).put(m.more ? 1 : 0, 1).put(0, 18);
    std::uint64_t sat_mask = 0;
    for (unsigned s : m.sats) sat_mask |= std::uint64_t{1} << (64 - s);
    std::uint32_t sig_mask = 0;
    for (unsigned g : m.signals) sig_mask |= 1u << (32 - g);
    w.put(sat_mask, 64).put(sig_mask, 32);
    for (std::size_t i = 0; i < m.sats.size() * m.signals.size(); ++i) w.put(1, 1);
    for (std::size_t i = 0; i < m.sats.size(); ++i) w.put(m.rough_ms, 8);
    if (rates)
        for (std::size_t i = 0; i < m.sats.size(); ++i) w.put(m.ext_info, 4);
    for (std::size_t i = 0; i < m.sats.size(); ++i) w.put(m.rough_frac, 10);
    if (rates)
        for (std::size_t i = 0; i < m.sats.size(); ++i) w.put_signed(m.rough_rate, 14);
    for (const auto& c : m.cells) w.put_signed(c.fine_pr, 15);
    for (const auto& c : m.cells) w.put_signed(c.fine_phase, 22);
    for (const auto& c : m.cells) w.put(c.lock, 4);
    for (const auto& c : m.cells) w.put(c.half, 1);
    for (const auto& c : m.cells) w.put(c.cnr, 6);
    if (rates)
        for (const auto& c : m.cells) w.put_signed(c.fine_rate, 15);
    return w.bytes();
}

std::string msm_frame(const TestMsm& m) { return make_frame(msm_payload(m)); }

RtcmOptions on_date(int y, unsigned mo, unsigned d) {
    RtcmOptions o;
    o.date = EpochTime{y, mo, d, 0, 0, 0.0};
    return o;
}

// A file time (Unix seconds) at the start of a day: the reference for 10-bit GPS weeks when the
// stream has no whole-week ephemeris, instead of the clock (which would give a later era once the
// clock is 1024 weeks past the recording).
RtcmOptions file_time_of(int y, unsigned mo, unsigned d) {
    RtcmOptions o;
    o.file_time = gps_seconds(EpochTime{y, mo, d, 0, 0, 0.0}) + 315964800.0 - 18.0;
    return o;
}

// Observation value of satellite `sat`, code `code` in epoch `e`; NaN when absent.
double value_of(const RinexObsData& rec, const Epoch& e, std::string_view sat, std::string_view code) {
    for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s)
        if (rec.sat_name(*s) == sat)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                if (rec.code_name(i) == code) return rec.obs_values[i];
    return NAN;
}

std::optional<std::uint8_t> lli_of(const RinexObsData& rec, const Epoch& e, std::string_view sat, std::string_view code) {
    for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s)
        if (rec.sat_name(*s) == sat)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                if (rec.code_name(i) == code) return rec.observation(i).lli;
    return std::nullopt;
}

std::set<std::string> systems_of(const RinexObsData& rec) {
    std::set<std::string> s;
    for (const auto& [system, sats] : rec.satellites_by_system()) s.insert(system);
    return s;
}

// Frames of a stream, as (offset, length) of each good frame.
std::vector<std::pair<std::size_t, std::size_t>> frames_of(const std::string& bytes) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    FrameScanner scanner;
    scanner.feed(bytes, [&](std::string_view payload) {
        out.emplace_back(static_cast<std::size_t>(payload.data() - bytes.data()) - 3, payload.size() + kFrameOverhead);
    });
    return out;
}

bool same_observations(const RinexObsData& a, const RinexObsData& b) {
    if (a.epochs.size() != b.epochs.size() || a.obs_values.size() != b.obs_values.size()) return false;
    for (std::size_t i = 0; i < a.epochs.size(); ++i)
        if (!(a.epochs[i].time == b.epochs[i].time) || a.epochs[i].sat_count != b.epochs[i].sat_count) return false;
    for (std::size_t i = 0; i < a.obs_values.size(); ++i)
        if (a.obs_values[i] != b.obs_values[i] || a.code_name(static_cast<std::uint32_t>(i)) != b.code_name(static_cast<std::uint32_t>(i)) ||
            a.obs_indicators[i] != b.obs_indicators[i])
            return false;
    return true;
}

}  // namespace

// ----------------------------------------------------------------------------- framing

TEST(rtcm_frames, ChecksumIsCrc24q) {
    // The check value of CRC-24Q ("123456789").
    const std::string check = "123456789";
    EXPECT_EQ(crc24q(reinterpret_cast<const unsigned char*>(check.data()), check.size()), 0xCDE703u);
}

TEST(rtcm_frames, GarbageBitFlipsAndAbsurdLengthsCostOnlyTheirBytes) {
    LOAD_OR_SKIP(bytes, "gnss-converters/trimble.rtcm");
    const RtcmRecording clean = decode_rtcm3(bytes, on_date(2024, 6, 5));
    const auto frames = frames_of(bytes);
    ASSERT_GT(frames.size(), 100u);
    // Garbage before the stream and between two frames: preamble bytes, a header claiming 1023
    // bytes, text.
    const std::string garbage = std::string("\xD3\x03\xFF junk \xD3\x00", 11) + "NMEA,$GPGGA\r\n";
    std::string dirty = garbage + bytes;
    dirty.insert(garbage.size() + frames[40].first, garbage);
    const RtcmRecording r = decode_rtcm3(dirty, on_date(2024, 6, 5));
    EXPECT_EQ(r.skipped_bytes, clean.skipped_bytes + 2 * garbage.size());
    EXPECT_EQ(r.message_counts, clean.message_counts);
    EXPECT_TRUE(same_observations(r.obs, clean.obs));

    // One bit flipped inside frame 50: that frame is lost to its checksum, the rest decode.
    std::string flipped = bytes;
    flipped[frames[50].first + 10] ^= 0x10;
    const RtcmRecording f = decode_rtcm3(flipped, on_date(2024, 6, 5));
    EXPECT_GE(f.crc_failures, clean.crc_failures + 1);
    const int lost_type = message_type(std::string_view(bytes).substr(frames[50].first + 3, 3));
    auto expected = clean.message_counts;
    if (--expected[lost_type] == 0) expected.erase(lost_type);
    EXPECT_EQ(f.message_counts, expected);
    EXPECT_EQ(f.obs.epochs.size(), clean.obs.epochs.size());
}

TEST(rtcm_frames, FramesCutAcrossFeedsAreKeptAndTheEndsOfStreamsGivenUp) {
    LOAD_OR_SKIP(bytes, "GMSD7_20121014.rtcm3");
    const RtcmRecording whole = decode_rtcm3(bytes, on_date(2012, 10, 14));
    // Pieces of 1, 2, 3, ... 97 bytes, so that every frame is cut somewhere.
    RtcmDecoder d(on_date(2012, 10, 14));
    std::size_t pos = 0, piece = 1, cut_seen = 0;
    while (pos < bytes.size()) {
        const std::size_t n = std::min(piece, bytes.size() - pos);
        d.feed(std::string_view(bytes).substr(pos, n));
        if (d.frame_stats().frames > 0 && pos + n < bytes.size()) cut_seen += 1;
        pos += n;
        piece = piece % 97 + 1;
    }
    d.finish();
    const RtcmRecording pieces = d.recording();
    EXPECT_GT(cut_seen, 0u);
    EXPECT_EQ(pieces.message_counts, whole.message_counts);
    EXPECT_EQ(pieces.skipped_bytes, whole.skipped_bytes);
    EXPECT_TRUE(same_observations(pieces.obs, whole.obs));

    // A stream cut inside its last frame: the frame waits, then finish() gives its bytes up.
    const auto frames = frames_of(bytes);
    const auto [off, len] = frames.back();
    RtcmDecoder cut(on_date(2012, 10, 14));
    cut.feed(std::string_view(bytes).substr(0, off + len - 4));
    EXPECT_EQ(cut.frame_stats().frames, frames.size() - 1);
    FrameScanner probe;
    probe.feed(std::string_view(bytes).substr(off, len - 4), [](std::string_view) {});
    EXPECT_EQ(probe.pending_bytes(), len - 4);
    cut.finish();
    EXPECT_EQ(cut.recording().skipped_bytes, whole.skipped_bytes - (bytes.size() - off - len) + (len - 4));
}

TEST(rtcm_frames, MessageCountsOfTheRealRecordings) {
    LOAD_OR_SKIP(gmsd, "GMSD7_20121014.rtcm3");
    const auto r = decode_rtcm3(gmsd);
    const std::map<int, std::uint64_t> expected{{1007, 28}, {1008, 28}, {1019, 15}, {1020, 16}, {1033, 28},
                                                {1077, 257}, {1087, 257}, {1117, 257}, {1127, 257}};
    EXPECT_EQ(r.message_counts, expected);
    EXPECT_EQ(r.crc_failures, 0u);
    EXPECT_EQ(r.malformed, 0u);
}

// ----------------------------------------------------------------------------- observations

TEST(rtcm_observations, EveryMsmFlavourOfTheRealFilesDecodesWithConsistentValues) {
    struct Case {
        const char* file;
        std::set<std::string> systems;
        std::vector<const char*> codes;  // system letter + code that must be there
    };
    const std::vector<Case> cases = {
        {"GMSD7_20121014.rtcm3", {"G", "R", "J", "C"}, {"GS1C", "GL1C", "GD1C", "RS1C", "JS1C", "CS2I"}},
        {"gnss-converters/trimble.rtcm", {"G", "R", "E", "C"}, {"GS1C", "RS1C", "ES1X", "ES8X", "CS2I"}},  // MSM4
        // MSM6 and MSM7; its QZSS and NavIC messages hold no satellite.
        {"pygpsdata-NTRIP-USCL00CHL0.log", {"G", "R", "E", "C", "S"}, {"GS2L", "GS5Q", "ES7Q", "CS6I"}},
        {"gnss-converters/javad.rtcm", {"G", "R", "E", "S", "C"}, {"SS1C", "ES8X"}},
    };
    for (const Case& c : cases) {
        const std::string bytes = load(c.file);
        if (bytes.empty()) GTEST_SKIP() << "real data not available";
        const RtcmRecording r = decode_rtcm3(bytes);
        SCOPED_TRACE(c.file);
        EXPECT_EQ(r.malformed, 0u);
        EXPECT_EQ(systems_of(r.obs), c.systems);
        for (const char* code : c.codes) {
            const ObsTypeList* list = r.obs.types_of(code[0]);
            ASSERT_NE(list, nullptr) << code;
            bool found = false;
            for (auto k : list->codes) found |= r.obs.code_names[k] == code + 1;
            EXPECT_TRUE(found) << code;
        }
        // Every value in its physical range: CNR 10..65 dB-Hz; pseudoranges of orbits from 19000 km
        // (GPS overhead) to 41000 km (geostationary at the horizon), give or take the receiver
        // clock's offset (the Javad receiver's is about 20 ms).
        for (std::uint32_t i = 0; i < r.obs.obs_values.size(); ++i) {
            const std::string_view code = r.obs.code_name(i);
            const double v = r.obs.obs_values[i];
            if (code[0] == 'S') EXPECT_TRUE(v > 10.0 && v < 65.0) << code << " " << v;
            if (code[0] == 'C') EXPECT_TRUE(v > 1.3e7 && v < 4.5e7) << code << " " << v;
        }
    }
}

TEST(rtcm_observations, PhaseAndDopplerFollowThePseudorange) {
    // Between two epochs one second apart the pseudorange changes by the range rate, which the
    // Doppler gives as -D * wavelength; the phase in cycles times the wavelength stays near the
    // pseudorange. Checked on every GPS L1 and GLONASS G1 signal of the MSM7 recording.
    LOAD_OR_SKIP(bytes, "GMSD7_20121014.rtcm3");
    const RtcmRecording r = decode_rtcm3(bytes, on_date(2012, 10, 14));
    ASSERT_GT(r.obs.epochs.size(), 10u);
    const Epoch& a = r.obs.epochs[5];
    const Epoch& b = r.obs.epochs[6];
    ASSERT_DOUBLE_EQ(exact_seconds_between(b.time, a.time), 1.0);
    int checked = 0;
    for (auto* s = r.obs.sats_begin(a); s != r.obs.sats_end(a); ++s) {
        const std::string sat(r.obs.sat_name(*s));
        double f = 0.0;
        if (sat[0] == 'G') f = 1575.42e6;
        if (sat[0] == 'R') {
            const auto ch = r.obs.glonass_channel(std::to_string(std::stoi(sat.substr(1))));
            ASSERT_TRUE(ch.has_value()) << sat;
            f = 1602e6 + 0.5625e6 * *ch;
        }
        if (f == 0.0) continue;
        const double lambda = kSpeedOfLight / f;
        const double c0 = value_of(r.obs, a, sat, "C1C"), c1 = value_of(r.obs, b, sat, "C1C");
        const double d0 = value_of(r.obs, a, sat, "D1C"), l0 = value_of(r.obs, a, sat, "L1C");
        if (std::isnan(c0) || std::isnan(c1) || std::isnan(d0) || std::isnan(l0)) continue;
        EXPECT_NEAR(c1 - c0, -d0 * lambda, 5.0) << sat;
        EXPECT_NEAR(l0 * lambda, c0, 2000.0) << sat;
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

TEST(rtcm_observations, Msm5FieldsInvalidValuesAndTheGlonassChannel) {
    TestMsm m;
    m.type = 1085;  // GLONASS MSM5
    m.time = (2u << 27) | 3600000u;  // Tuesday 01:00 Moscow time
    m.sats = {3, 9};
    m.signals = {2, 8};  // 1C, 2C
    m.ext_info = 7 + 4;  // channel +4
    m.rough_rate = 300;
    m.cells = {TestCell{1000, 2000, 5, 0, 45, -2500}, TestCell{-16384, -(1 << 21), 5, 0, 0, -16384},
               TestCell{0, 0, 5, 1, 40, 0}, TestCell{1, 1, 5, 0, 39, 1}};
    const auto msg = decode_msm(msm_payload(m));
    ASSERT_TRUE(msg.has_value());
    ASSERT_EQ(msg->cells.size(), 4u);
    const ObsCell& c = msg->cells[0];
    EXPECT_EQ(c.sat, "R03");
    EXPECT_EQ(std::string(c.code, 2), "1C");
    EXPECT_EQ(msg->cells[1].sat, "R03");
    EXPECT_EQ(std::string(msg->cells[1].code, 2), "2C");
    const double rough = 70.0 + 512.0 / 1024.0;
    EXPECT_DOUBLE_EQ(c.pseudorange, (rough + 1000.0 / 16777216.0) * kMetresPerMs);
    EXPECT_DOUBLE_EQ(c.phase_range, (rough + 2000.0 / 536870912.0) * kMetresPerMs);
    EXPECT_DOUBLE_EQ(c.range_rate, 300.0 - 0.25);
    EXPECT_EQ(c.cnr, 45.0);
    EXPECT_EQ(c.lock_ms, 512.0);
    EXPECT_EQ(c.channel, 4);
    // The invalid-value sentinels: no pseudorange, phase, rate; CNR 0 is no CNR.
    EXPECT_TRUE(std::isnan(msg->cells[1].pseudorange));
    EXPECT_TRUE(std::isnan(msg->cells[1].phase_range));
    EXPECT_TRUE(std::isnan(msg->cells[1].range_rate));
    EXPECT_TRUE(std::isnan(msg->cells[1].cnr));
    EXPECT_TRUE(msg->cells[2].half_cycle);

    // In the record: phase and Doppler on the channel's carrier, the half-cycle bit in LLI bit 1.
    const RtcmRecording r = decode_rtcm3(msm_frame(m), on_date(2024, 6, 4));
    ASSERT_EQ(r.obs.epochs.size(), 1u);
    const Epoch& e = r.obs.epochs[0];
    const double f1 = 1602e6 + 0.5625e6 * 4;
    EXPECT_NEAR(value_of(r.obs, e, "R03", "L1C"), c.phase_range * f1 / kSpeedOfLight, 1e-6);
    EXPECT_NEAR(value_of(r.obs, e, "R03", "D1C"), -299.75 * f1 / kSpeedOfLight, 1e-9);
    EXPECT_TRUE(std::isnan(value_of(r.obs, e, "R03", "C2C")));
    EXPECT_EQ(lli_of(r.obs, e, "R09", "L1C"), std::optional<std::uint8_t>(2));
    EXPECT_EQ(r.obs.glonass_channel("3"), std::optional<std::int32_t>(4));

    // Without a channel anywhere, GLONASS keeps its pseudorange and CNR but no phase or Doppler.
    m.ext_info = 15;
    const RtcmRecording n = decode_rtcm3(msm_frame(m), on_date(2024, 6, 4));
    ASSERT_EQ(n.obs.epochs.size(), 1u);
    EXPECT_FALSE(std::isnan(value_of(n.obs, n.obs.epochs[0], "R03", "C1C")));
    EXPECT_TRUE(std::isnan(value_of(n.obs, n.obs.epochs[0], "R03", "L1C")));
    EXPECT_TRUE(std::isnan(value_of(n.obs, n.obs.epochs[0], "R03", "D1C")));
}

TEST(rtcm_observations, SatelliteNumbersOfSbasQzssAndNavic) {
    struct Case {
        int type;
        unsigned sat, signal;
        const char* name;
        const char* code;
    };
    for (const Case& c : {Case{1104, 3, 2, "S22", "1C"}, Case{1114, 2, 30, "J02", "1S"}, Case{1134, 3, 22, "I03", "5A"},
                          Case{1124, 19, 25, "C19", "7D"}, Case{1094, 11, 18, "E11", "8I"}}) {
        TestMsm m;
        m.type = c.type;
        m.sats = {c.sat};
        m.signals = {c.signal};
        const auto msg = decode_msm(msm_payload(m));
        ASSERT_TRUE(msg.has_value()) << c.type;
        ASSERT_EQ(msg->cells.size(), 1u) << c.type;
        EXPECT_EQ(msg->cells[0].sat, c.name);
        EXPECT_EQ(std::string(msg->cells[0].code, 2), c.code);
    }
    // A signal number the system does not define is read past, not stored.
    TestMsm undefined;
    undefined.signals = {2, 6};
    undefined.cells = {TestCell{}, TestCell{}};
    const auto msg = decode_msm(msm_payload(undefined));
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(msg->cells.size(), 1u);
}

TEST(rtcm_observations, LossOfLockFromLockTimesAndGaps) {
    // GPS MSM4 at 1 s epochs: lock indicators 6, 7, 3 (dropped), 4, then a missing epoch, then 9.
    std::string stream;
    const unsigned locks[] = {6, 7, 3, 4, 0, 9};
    for (int k = 0; k < 6; ++k) {
        TestMsm m;
        m.time = 100000000u + 1000u * static_cast<unsigned>(k);
        m.sats = {5, 7};
        m.cells = {TestCell{}, TestCell{}};
        m.cells[0].lock = locks[k];
        if (k == 4) m.sats = {7}, m.cells = {TestCell{}};  // G05 missing at epoch 4
        m.cells.back().lock = 10;
        stream += msm_frame(m);
    }
    const RtcmRecording r = decode_rtcm3(stream, on_date(2024, 6, 4));
    ASSERT_EQ(r.obs.epochs.size(), 6u);
    std::vector<int> slips;
    for (int k : {0, 1, 2, 3, 5}) slips.push_back(lli_of(r.obs, r.obs.epochs[k], "G05", "L1C").value_or(0) & 1);
    EXPECT_EQ(slips, (std::vector<int>{0, 0, 1, 0, 1}));
    for (const auto& e : r.obs.epochs) EXPECT_FALSE(lli_of(r.obs, e, "G07", "L1C").has_value());
}

TEST(rtcm_observations, LegacyMessagesGiveQuarterDecibelCnr) {
    LOAD_OR_SKIP(bytes, "testglo.rtcm3");
    const RtcmRecording r = decode_rtcm3(bytes, file_time_of(2009, 12, 19));
    EXPECT_EQ(systems_of(r.obs), (std::set<std::string>{"G", "R", "S"}));  // SBAS as GPS numbers 40..58
    std::set<double> fractions;
    std::size_t snr = 0;
    for (std::uint32_t i = 0; i < r.obs.obs_values.size(); ++i)
        if (r.obs.code_name(i)[0] == 'S') {
            fractions.insert(std::fmod(r.obs.obs_values[i], 1.0));
            ++snr;
        }
    EXPECT_GT(snr, 1000u);
    EXPECT_EQ(fractions, (std::set<double>{0.0, 0.25, 0.5, 0.75}));
    // GLONASS legacy messages carry the channel: phases of the record's GLONASS satellites.
    EXPECT_FALSE(r.obs.glonass_slots.empty());
    const Epoch& e = r.obs.epochs[10];
    bool glonass_phase = false;
    for (auto* s = r.obs.sats_begin(e); s != r.obs.sats_end(e); ++s)
        glonass_phase |= r.obs.sat_name(*s)[0] == 'R' && !std::isnan(value_of(r.obs, e, r.obs.sat_name(*s), "L1C"));
    EXPECT_TRUE(glonass_phase);
}

// ----------------------------------------------------------------------------- malformed input

TEST(rtcm_malformed, MasksTooLargeOrMessagesTooShortAreSkippedWhole) {
    TestMsm good;
    good.time = 200000000;
    TestMsm huge = good;  // 9 satellites x 8 signals = 72 cells > 64
    huge.time = 200001000;
    huge.sats = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    huge.signals = {2, 3, 4, 8, 9, 10, 15, 16};
    huge.cells.assign(72, TestCell{});
    EXPECT_FALSE(decode_msm(msm_payload(huge)).has_value());

    // Cells claimed by the masks but cut off the payload: the frame's checksum holds, the message
    // does not; none of its cells reaches the record.
    TestMsm cut = good;
    cut.time = 200002000;
    cut.sats = {1, 2, 3, 4};
    cut.signals = {2, 8};
    cut.cells.assign(8, TestCell{});
    std::string payload = msm_payload(cut);
    payload.resize(payload.size() - 6);
    EXPECT_FALSE(decode_msm(payload).has_value());

    const RtcmRecording r =
        decode_rtcm3(msm_frame(good) + msm_frame(huge) + make_frame(payload) + make_frame("\x3F"), on_date(2024, 6, 4));
    EXPECT_EQ(r.malformed, 3u);  // the masks, the cut cells and a payload without a message number
    EXPECT_EQ(r.message_counts.at(1074), 3u);
    EXPECT_EQ(r.obs.epochs.size(), 1u);
    EXPECT_EQ(r.obs.sat_entries.size(), 1u);
}

TEST(rtcm_malformed, ARealMessageCutShortLeavesTheRecordAsWithoutIt) {
    LOAD_OR_SKIP(bytes, "gnss-converters/msm7.rtcm");
    const auto frames = frames_of(bytes);
    // The first MSM7 frame of the file, re-framed with its payload cut by 5 bytes and a good
    // checksum, put in front of the stream a second time.
    std::size_t k = 0;
    while (k < frames.size() && message_type(std::string_view(bytes).substr(frames[k].first + 3, 2)) != 1077) ++k;
    ASSERT_LT(k, frames.size());
    const std::string payload = bytes.substr(frames[k].first + 3, frames[k].second - kFrameOverhead);
    const RtcmRecording clean = decode_rtcm3(bytes, on_date(2024, 6, 5));
    std::string doctored = bytes;
    doctored.insert(frames[k].first, make_frame(payload.substr(0, payload.size() - 5)));
    const RtcmRecording r = decode_rtcm3(doctored, on_date(2024, 6, 5));
    EXPECT_EQ(r.malformed, clean.malformed + 1);
    EXPECT_EQ(r.message_counts.at(1077), clean.message_counts.at(1077) + 1);
    EXPECT_TRUE(same_observations(r.obs, clean.obs));
}

// ----------------------------------------------------------------------------- time

TEST(rtcm_time, GlonassMoscowTimeAndBeidouTimeBecomeGpsTime) {
    // GLONASS alone: Monday 02:00:00 Moscow = Sunday 23:00:00 UTC = 23:00:18 GPS in 2024.
    TestMsm g;
    g.type = 1084;
    g.time = (1u << 27) | 7200000u;
    const RtcmRecording r = decode_rtcm3(msm_frame(g), on_date(2024, 6, 2));
    ASSERT_EQ(r.obs.epochs.size(), 1u);
    EXPECT_EQ(r.obs.epochs[0].time, (EpochTime{2024, 6, 2, 23, 0, 18.0}));
    // With a date of 2012 the leap seconds are 16.
    const RtcmRecording old = decode_rtcm3(msm_frame(g), on_date(2012, 10, 14));
    EXPECT_EQ(old.obs.epochs[0].time, (EpochTime{2012, 10, 14, 23, 0, 16.0}));

    // BeiDou time is 14 s behind GPS time.
    TestMsm c;
    c.type = 1124;
    c.time = 86400000u + 3600000u;
    const RtcmRecording b = decode_rtcm3(msm_frame(c), on_date(2024, 6, 2));
    EXPECT_EQ(b.obs.epochs[0].time, (EpochTime{2024, 6, 3, 1, 0, 14.0}));

    // In one epoch's chain behind a GPS message, GLONASS gives the leap seconds itself: the 2012
    // recording's GPS and GLONASS messages make single epochs without any date.
    LOAD_OR_SKIP(bytes, "GMSD7_20121014.rtcm3");
    const RtcmRecording rec = decode_rtcm3(bytes, file_time_of(2012, 10, 15));
    EXPECT_EQ(rec.week_source, "ephemeris");
    EXPECT_EQ(rec.obs.epochs.size(), 257u);
    for (const Epoch& e : rec.obs.epochs) EXPECT_EQ(std::fmod(e.time.second, 1.0), 0.0);
    EXPECT_EQ(rec.obs.epochs.front().time, (EpochTime{2012, 10, 13, 23, 59, 44.0}));
    EXPECT_EQ(rec.obs.interval, 1.0);
    EXPECT_EQ(rec.obs.time_system, "GPS");
    EXPECT_EQ(rec.obs.version, 3.05);
}

TEST(rtcm_time, LegacyGlonassBeforeAnyGpsMessageWaitsForItsDay) {
    LOAD_OR_SKIP(bytes, "gnss-converters/1012_first.rtcm");
    const RtcmRecording r = decode_rtcm3(bytes, on_date(2024, 6, 5));
    ASSERT_GT(r.obs.epochs.size(), 2u);
    // The first epoch (GLONASS 1012 only so far) is on the day of the GPS epochs that follow.
    EXPECT_EQ(r.obs.epochs[0].time.day, r.obs.epochs[1].time.day);
    EXPECT_DOUBLE_EQ(exact_seconds_between(r.obs.epochs[1].time, r.obs.epochs[0].time), 1.0);
}

TEST(rtcm_time, TheWeekFromDateEphemerisOrFileTime) {
    LOAD_OR_SKIP(gmsd, "GMSD7_20121014.rtcm3");
    // Ephemerides: 10-bit GPS weeks taken as the latest such week not after the reference, here
    // the file time (2012, not 2032); the ephemerides, not the file time, give the week.
    const RtcmRecording e = decode_rtcm3(gmsd, file_time_of(2012, 10, 25));
    EXPECT_EQ(e.week_source, "ephemeris");
    EXPECT_EQ(e.obs.epochs.front().time, (EpochTime{2012, 10, 13, 23, 59, 44.0}));
    // A date within three days gives the same week; a date wins over the ephemerides.
    const RtcmRecording d = decode_rtcm3(gmsd, on_date(2012, 10, 16));
    EXPECT_EQ(d.week_source, "date");
    EXPECT_EQ(d.obs.epochs.front().time, e.obs.epochs.front().time);
    const RtcmRecording later = decode_rtcm3(gmsd, on_date(2012, 10, 20));
    EXPECT_EQ(later.obs.epochs.front().time, (EpochTime{2012, 10, 20, 23, 59, 44.0}));

    // Galileo and BeiDou weeks are whole: the 2024 NTRIP sample dates itself.
    LOAD_OR_SKIP(ntrip, "pygpsdata-NTRIP-USCL00CHL0.log");
    const RtcmRecording n = decode_rtcm3(ntrip);
    EXPECT_EQ(n.week_source, "ephemeris");
    ASSERT_FALSE(n.obs.epochs.empty());
    EXPECT_EQ(n.obs.epochs.front().time.year, 2024);
    EXPECT_EQ(n.obs.epochs.front().time.month, 3u);
    EXPECT_EQ(n.obs.epochs.front().time.day, 13u);

    // No ephemeris: the file time, taken as near the recording's end.
    LOAD_OR_SKIP(trimble, "gnss-converters/trimble.rtcm");
    RtcmOptions o;
    o.file_time = 1717600000.0;  // 2024-06-05 15:06:40 UTC
    const RtcmRecording t = decode_rtcm3(trimble, o);
    EXPECT_EQ(t.week_source, "file time");
    const double last = gps_seconds(t.obs.epochs.back().time);
    EXPECT_LT(std::fabs(last - gps_seconds_of_unix(1717600000.0)), 3.5 * 86400.0);
    EXPECT_EQ(decode_rtcm3(trimble).week_source, "none");
}

// ----------------------------------------------------------------------------- station, ephemerides

TEST(rtcm_station, PositionDescriptorsAndMarker) {
    LOAD_OR_SKIP(sept, "gnss-converters/sept.rtcm");
    const RtcmRecording r = decode_rtcm3(sept);
    ASSERT_TRUE(r.obs.approx_position.has_value());
    const auto& p = *r.obs.approx_position;
    EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), 6.37e6, 0.03e6);
    EXPECT_TRUE(r.antenna_height.has_value());
    EXPECT_FALSE(r.obs.antenna_type.empty());
    EXPECT_FALSE(r.obs.receiver_type.empty());
    ASSERT_TRUE(r.station_id.has_value());
    EXPECT_EQ(r.obs.marker_name, std::to_string(*r.station_id));
    RtcmOptions named;
    named.marker_name = "SEPT";
    EXPECT_EQ(decode_rtcm3(sept, named).obs.marker_name, "SEPT");
}

TEST(rtcm_ephemeris, PositionsAgreeWithThePseudorangesOfTheStation) {
    // From the stream alone: station position (1005), GPS ephemerides (1019) and pseudoranges
    // (1004). Pseudorange - geometric range + satellite clock is the receiver clock for every
    // satellite, up to the atmosphere: its spread over the satellites checks the ephemeris fields,
    // their scales and signs, the week and the epoch times together.
    LOAD_OR_SKIP(bytes, "testglo.rtcm3");
    const RtcmRecording r = decode_rtcm3(bytes, file_time_of(2009, 12, 19));
    ASSERT_TRUE(r.nav.has_value());
    ASSERT_TRUE(r.obs.approx_position.has_value());
    const auto& rx = *r.obs.approx_position;
    const Epoch& e = r.obs.epochs[20];
    std::vector<double> clock;
    for (auto* s = r.obs.sats_begin(e); s != r.obs.sats_end(e); ++s) {
        const std::string sat(r.obs.sat_name(*s));
        if (sat[0] != 'G') continue;
        const double pr = value_of(r.obs, e, sat, "C1C");
        const auto it = r.nav->gps.find(sat);
        if (std::isnan(pr) || it == r.nav->gps.end()) continue;
        const SatelliteOrbit orbit = find_satellite(*r.nav, sat);
        const double tau = pr / kSpeedOfLight;
        const double jd = julian_date(e.time) - tau / 86400.0;
        const auto pos = satellite_position(orbit, jd);
        ASSERT_TRUE(pos.has_value()) << sat;
        // Earth rotation during the travel time.
        const double a = orbit::kOmegaEarth * tau;
        const double x = (*pos)[0] * std::cos(a) + (*pos)[1] * std::sin(a);
        const double y = -(*pos)[0] * std::sin(a) + (*pos)[1] * std::cos(a);
        const double range = std::sqrt(std::pow(x - rx[0], 2) + std::pow(y - rx[1], 2) + std::pow((*pos)[2] - rx[2], 2));
        const KeplerEphemeris& k = it->second.front();
        const double dt = k.af0 + k.af1 * seconds_between(e.time, k.epoch);
        clock.push_back(pr - range + kSpeedOfLight * dt);
    }
    ASSERT_GE(clock.size(), 5u);
    const auto [lo, hi] = std::minmax_element(clock.begin(), clock.end());
    EXPECT_LT(*hi - *lo, 60.0);
    // GLONASS records: positions at their epochs on an orbit of 25500 km radius.
    ASSERT_FALSE(r.nav->glonass.empty());
    for (const auto& [sat, list] : r.nav->glonass) {
        const auto& g = list.front();
        EXPECT_NEAR(std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z), 25.5e6, 0.1e6) << sat;
        EXPECT_EQ(r.nav->glonass_channels.count(sat) == 1, g.frequency_channel != 0);
    }
}

TEST(rtcm_analysis, TheAnalysisRunsOnARecordingAsOnRinexFiles) {
    // Station, ephemerides and observations all from the stream: the analysis finds elevations for
    // the observed satellites and the predicted satellites in the sky are the observed ones.
    LOAD_OR_SKIP(bytes, "testglo.rtcm3");
    RtcmRecording r = decode_rtcm3(bytes, file_time_of(2009, 12, 19));
    ASSERT_TRUE(r.nav.has_value());
    EXPECT_EQ(r.obs.epochs.front().time.year, 2009);
    auto obs = std::make_shared<const RinexObsData>(std::move(r.obs));
    auto nav = std::make_shared<const NavigationData>(std::move(*r.nav));
    const AnalysisResult a = analyze_records(quick_analysis_config(10.0, std::nullopt), obs, nav);
    EXPECT_EQ(a.summary.total_epochs, obs->epochs.size());
    ASSERT_TRUE(a.visibility.has_value());
    EXPECT_TRUE(a.visibility->has_prediction);
    EXPECT_GT(a.visibility->confirmation_rate, 0.8);
    int with_elevation = 0;
    for (const auto& [sat, stats] : a.satellite_stats)
        if (stats.system == "GPS" && stats.mean_elevation > 10.0) ++with_elevation;
    EXPECT_GE(with_elevation, 5);
}

TEST(rtcm_stream, EpochsTakenAsTheyCompleteAddUpToTheWholeRecording) {
    LOAD_OR_SKIP(bytes, "GMSD7_20121014.rtcm3");
    const RtcmRecording whole = decode_rtcm3(bytes, on_date(2012, 10, 14));
    RtcmDecoder d(on_date(2012, 10, 14));
    // (time, satellite, code) -> value and indicators of every epoch taken, in the order taken.
    std::vector<std::tuple<std::string, std::string, std::string, double, std::uint8_t>> taken, all;
    const auto collect = [](const RinexObsData& rec, auto& out) {
        for (const auto& e : rec.epochs)
            for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s)
                for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                    out.emplace_back(epoch_text(e.time), std::string(rec.sat_name(*s)), std::string(rec.code_name(i)),
                                     rec.obs_values[i], rec.obs_indicators[i]);
    };
    std::size_t takes_with_epochs = 0, last_size = 0;
    for (std::size_t pos = 0; pos < bytes.size(); pos += 700) {
        d.feed(std::string_view(bytes).substr(pos, 700));
        const RtcmRecording r = d.take();
        collect(r.obs, taken);
        takes_with_epochs += !r.obs.epochs.empty();
        // An epoch is given once, when its last message is in: never again, never half.
        for (const auto& e : r.obs.epochs) EXPECT_GT(e.sat_count, 0u);
        EXPECT_GE(taken.size(), last_size);
        last_size = taken.size();
    }
    d.finish();
    collect(d.take().obs, taken);
    collect(whole.obs, all);
    EXPECT_GT(takes_with_epochs, 100u);
    EXPECT_EQ(taken, all);
}
