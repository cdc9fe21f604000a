// RTCM 3 encoding: fields and checksums, MSM4/MSM7 cells and their split into chained messages,
// station messages and ephemerides, and records encoded and decoded again (times, loss of lock,
// carrier phases moved by whole cycles). A real navigation file of the data folder gives the
// ephemerides (skipped without it).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "navigation/geometry.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/obs_reader.hpp"
#include "rtcm/bit_writer.hpp"
#include "rtcm/bits.hpp"
#include "rtcm/encode.hpp"
#include "rtcm/frame.hpp"
#include "rtcm/gnss_time.hpp"
#include "rtcm/rtcm.hpp"

using namespace tessora;
using namespace tessora::rtcm;

namespace {

std::uint32_t crc_bitwise(const std::string& s) {
    std::uint32_t crc = 0;
    for (unsigned char b : s) {
        crc ^= std::uint32_t{b} << 16;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x800000) ? ((crc << 1) ^ 0x1864CFB) & 0xFFFFFF : (crc << 1) & 0xFFFFFF;
    }
    return crc;
}

ObsCell cell(const std::string& sat, const char* code, double pr, double cnr) {
    ObsCell c;
    c.sat = sat;
    c.code[0] = code[0];
    c.code[1] = code[1];
    c.pseudorange = pr;
    c.phase_range = pr + 3.25;
    c.range_rate = -512.3456;
    c.cnr = cnr;
    c.lock_ms = 70000.0;
    return c;
}

const ObsCell* find(const ObsMessage& m, const std::string& sat, const char* code) {
    for (const ObsCell& c : m.cells)
        if (c.sat == sat && c.code[0] == code[0] && c.code[1] == code[1]) return &c;
    return nullptr;
}

// Values of one observation code of one satellite, epoch by epoch (NaN where absent), and the
// loss-of-lock indicators.
struct Series {
    std::vector<double> values;
    std::vector<int> lli;
};

Series series(const RinexObsData& rec, const std::string& sat, const std::string& code) {
    Series s;
    for (const auto& e : rec.epochs) {
        double v = NAN;
        int lli = 0;
        for (auto* x = rec.sats_begin(e); x != rec.sats_end(e); ++x)
            if (rec.sat_name(*x) == sat)
                for (std::uint32_t i = x->obs_begin; i < x->obs_begin + x->obs_count; ++i)
                    if (rec.code_name(i) == code) {
                        v = rec.obs_values[i];
                        lli = rec.observation(i).lli.value_or(0);
                    }
        s.values.push_back(v);
        s.lli.push_back(lli);
    }
    return s;
}

RinexObsData round_trip(const RinexObsData& rec, int msm) {
    EncodeOptions o;
    o.msm = msm;
    auto epochs = encode_rtcm3(rec, nullptr, o);
    EXPECT_TRUE(epochs);
    std::string stream;
    for (const auto& e : epochs.value()) stream += e.bytes;
    RtcmOptions ro;
    ro.date = rec.epochs.front().time;
    RtcmRecording r = decode_rtcm3(stream, ro);
    EXPECT_EQ(r.crc_failures + r.malformed + r.skipped_bytes, 0u);
    return std::move(r.obs);
}

const char* kHeader =
    "     3.05           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
    "TEST                                                        MARKER NAME\n"
    "1234                SEPT POLARX5        5.2.0               REC # / TYPE / VERS\n"
    "5678                TRM59800.00     NONE                    ANT # / TYPE\n"
    "  3582105.2910   532589.7313  5232754.8054                  APPROX POSITION XYZ\n"
    "G    4 C1C L1C D1C S1C                                      SYS / # / OBS TYPES\n"
    "R    4 C1C L1C D1C S1C                                      SYS / # / OBS TYPES\n"
    "C    4 C2I L2I D2I S2I                                      SYS / # / OBS TYPES\n"
    "  2020     6    25     0     0    0.0000000     GPS         TIME OF FIRST OBS\n"
    "  1 R07  5                                                  GLONASS SLOT / FRQ #\n"
    "                                                            END OF HEADER\n";

std::string epoch_lines(int k, int g01_lli, double g01_phase) {
    // Every 10 s from 2020-06-25 23:59:30, over midnight.
    const int s = 30 + 10 * k;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "> 2020 06 %02d %02d %02d %02d.0000000  0  3\n"
                  "G01  20000000.123  %14.3f%d      -123.456          45.250\n"
                  "R07  21000000.000   112300000.000         -500.500          38.0625\n"
                  "C05  38000000.000   197880000.000          100.000          41.000\n",
                  s < 60 ? 25 : 26, s < 60 ? 23 : 0, s < 60 ? 59 : 0, s % 60, g01_phase, g01_lli);
    return buf;
}

}  // namespace

TEST(rtcm_encode, ChecksumSlicesAgreeWithTheBitwiseDefinition) {
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 80; ++n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        EXPECT_EQ(crc24q(reinterpret_cast<const unsigned char*>(s.data()), s.size()), crc_bitwise(s)) << n;
    }
}

TEST(rtcm_encode, FieldsReadBackAsWritten) {
    std::mt19937_64 rng(11);
    struct F {
        unsigned bits;
        int kind;  // 0 unsigned, 1 two's complement, 2 sign-magnitude
        std::int64_t v;
    };
    std::vector<F> fields;
    BitWriter w;
    for (int i = 0; i < 400; ++i) {
        const unsigned bits = 2 + static_cast<unsigned>(rng() % 63);  // 2..64
        const int kind = bits == 64 ? 0 : static_cast<int>(rng() % 3);
        const std::uint64_t r = bits == 64 ? rng() : rng() & ((std::uint64_t{1} << (bits - 1)) - 1);
        const std::int64_t v = kind == 0 ? static_cast<std::int64_t>(r) : (rng() & 1 ? -static_cast<std::int64_t>(r) : static_cast<std::int64_t>(r));
        if (kind == 0) w.u(bits, static_cast<std::uint64_t>(v));
        if (kind == 1) w.s(bits, v);
        if (kind == 2) w.sm(bits, v);
        fields.push_back({bits, kind, v});
    }
    BitReader r(w.bytes());
    for (const F& f : fields) {
        const std::int64_t got = f.kind == 0 ? static_cast<std::int64_t>(r.u(f.bits)) : f.kind == 1 ? r.s(f.bits) : r.sm(f.bits);
        ASSERT_EQ(got, f.v) << f.bits << " " << f.kind;
    }
    EXPECT_FALSE(r.overrun());
    EXPECT_EQ(r.u(16), 0u);  // past the padding: zeros, and the reader says so
    EXPECT_TRUE(r.overrun());
}

TEST(rtcm_encode, MsmCellsComeBackWithinTheirResolution) {
    ObsMessage m;
    m.system = 'R';
    m.station = 77;
    m.clock = EpochClock::glonass_day_ms;
    m.day = 4;
    m.time_ms = 3600000;
    m.cells = {cell("R07", "1C", 21000000.5, 38.0625), cell("R07", "2P", 21000003.1, 31.2),
               cell("R24", "1C", 24000000.25, 47.99)};
    m.cells[0].channel = 5;
    m.cells[1].half_cycle = true;
    m.cells[2].pseudorange = NAN;  // the satellite's rough range then comes from its phase
    for (int flavour : {7, 4}) {
        const auto payloads = encode_msm(m, flavour);
        ASSERT_EQ(payloads.size(), 1u);
        const auto d = decode_msm(payloads[0]);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->type, 1080 + flavour);
        EXPECT_EQ(d->station, 77);
        EXPECT_EQ(d->day, 4u);
        EXPECT_EQ(d->time_ms, 3600000u);
        EXPECT_FALSE(d->more);
        ASSERT_EQ(d->cells.size(), 3u);
        const double cnr_step = flavour == 7 ? 1.0 / 16 : 1.0;
        const double range_step = (flavour == 7 ? std::ldexp(1.0, -29) : std::ldexp(1.0, -24)) * kMetresPerMs;
        for (const auto& [sat, code, i] : {std::tuple{"R07", "1C", 0}, {"R07", "2P", 1}, {"R24", "1C", 2}}) {
            const ObsCell* c = find(*d, sat, code);
            ASSERT_NE(c, nullptr) << sat << code;
            const ObsCell& o = m.cells[static_cast<std::size_t>(i)];
            EXPECT_NEAR(c->cnr, o.cnr, cnr_step / 2 + 1e-12);
            if (std::isnan(o.pseudorange)) EXPECT_TRUE(std::isnan(c->pseudorange));
            else EXPECT_NEAR(c->pseudorange, o.pseudorange, range_step);
            EXPECT_NEAR(c->phase_range, o.phase_range, range_step);
            if (flavour == 7) EXPECT_NEAR(c->range_rate, o.range_rate, 0.00005 + 1e-9);
            else EXPECT_TRUE(std::isnan(c->range_rate));  // MSM4 carries no rates
            // The lock time read back is the longest the indicator guarantees, not above the truth.
            EXPECT_LE(c->lock_ms, o.lock_ms);
            EXPECT_GT(c->lock_ms, o.lock_ms / 2);
            EXPECT_EQ(c->half_cycle, o.half_cycle);
        }
        // MSM7 carries R07's frequency channel; R24's was not given.
        EXPECT_EQ(find(*d, "R07", "1C")->channel, flavour == 7 ? 5 : kNoChannel);
        EXPECT_EQ(find(*d, "R24", "1C")->channel, kNoChannel);
    }
}

TEST(rtcm_encode, CellsBeyondOneMessageAreChainedAndUnnumberableOnesDropped) {
    ObsMessage m;
    m.system = 'G';
    m.more = true;  // more systems follow in this epoch
    for (int s = 1; s <= 30; ++s)
        for (const char* code : {"1C", "2W", "2L", "5Q"}) {
            char sat[4];
            std::snprintf(sat, sizeof sat, "G%02d", s);
            m.cells.push_back(cell(sat, code, 2.0e7 + 1000.0 * s, 40.0));
        }
    m.cells.push_back(cell("G65", "1C", 2.0e7, 40.0));  // no MSM satellite number
    m.cells.push_back(cell("G03", "9Z", 2.0e7, 40.0));  // no MSM signal number
    m.cells.push_back(cell("E03", "1C", 2.0e7, 40.0));  // another system
    const auto payloads = encode_msm(m, 7);
    ASSERT_EQ(payloads.size(), 2u);  // 16 satellites x 4 signals fill the first message
    std::size_t cells = 0;
    for (const auto& p : payloads) {
        ASSERT_LE(p.size(), 1023u);
        const auto d = decode_msm(p);
        ASSERT_TRUE(d);
        EXPECT_TRUE(d->more);  // the last too: another system's message follows
        EXPECT_LE(d->cells.size(), 64u);
        cells += d->cells.size();
    }
    EXPECT_EQ(cells, 120u);
}

TEST(rtcm_encode, StationMessagesComeBack) {
    const auto p = decode_station(encode_1005(4095, {3582105.29104, -532589.73135, 5232754.80546}));
    ASSERT_TRUE(p && p->arp);
    EXPECT_EQ(p->station, 4095);
    EXPECT_NEAR((*p->arp)[0], 3582105.2910, 1e-4);
    EXPECT_NEAR((*p->arp)[1], -532589.7314, 1e-4);
    EXPECT_NEAR((*p->arp)[2], 5232754.8055, 1e-4);
    const auto d = decode_station(encode_1033(3, "TRM59800.00     NONE", "SEPT POLARX5", "5.2.0"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->antenna.value_or(""), "TRM59800.00     NONE");
    EXPECT_EQ(d->receiver.value_or(""), "SEPT POLARX5");
    EXPECT_EQ(d->firmware.value_or(""), "5.2.0");
    // Texts beyond a descriptor's 31 characters are cut, non-ASCII bytes become '?'.
    const auto long_text = decode_station(encode_1033(3, std::string(40, 'A'), "R\xC3\xA9" "CEIVER", ""));
    EXPECT_EQ(long_text->antenna.value_or(""), std::string(31, 'A'));
    EXPECT_EQ(long_text->receiver.value_or(""), "R??CEIVER");
}

TEST(rtcm_encode, EphemeridesGiveTheSamePositions) {
    std::string bytes, err;
    const auto path = std::filesystem::path(TESSORA_DATA_DIR) / "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx";
    if (!read_whole_file(path.string(), bytes, err)) GTEST_SKIP() << "real data not available";
    auto read = read_navigation_content(bytes);
    ASSERT_TRUE(read);
    // One ephemeris of each satellite, from the middle of the day, so that both records pick it.
    struct {
        NavigationData n;
        NavigationData& value() { return n; }
    } nav{read.value()};
    for (auto* map : {&nav.n.gps, &nav.n.galileo, &nav.n.beidou})
        for (auto& [sat, list] : *map) list = {list[list.size() / 2]};
    for (auto& [sat, list] : nav.n.glonass) list = {list[list.size() / 2]};
    std::string stream;
    for (const auto* map : {&nav.value().gps, &nav.value().galileo, &nav.value().beidou})
        for (const auto& [sat, list] : *map) stream += make_frame(encode_kepler(kepler_message(list.front())));
    for (const auto& [sat, list] : nav.value().glonass) stream += make_frame(encode_glonass(glonass_message(list.front())));
    RtcmOptions o;
    o.date = EpochTime{2020, 6, 25, 12, 0, 0.0};
    const RtcmRecording r = decode_rtcm3(stream, o);
    ASSERT_TRUE(r.nav);
    EXPECT_EQ(r.malformed, 0u);
    EXPECT_EQ(navigation_repr(*r.nav), navigation_repr(nav.value()));
    // Each satellite where its first ephemeris puts it, an hour after the reference time.
    int compared = 0;
    for (const auto* map : {&nav.value().gps, &nav.value().galileo, &nav.value().beidou, })
        for (const auto& [sat, list] : *map) {
            EpochTime t = list.front().epoch;
            t.hour = (t.hour + 1) % 24;
            const auto a = satellite_position(nav.value(), sat, t), b = satellite_position(*r.nav, sat, t);
            ASSERT_EQ(a.has_value(), b.has_value()) << sat;
            if (!a) continue;
            EXPECT_LT(std::hypot((*a)[0] - (*b)[0], (*a)[1] - (*b)[1], (*a)[2] - (*b)[2]), 0.5) << sat;
            ++compared;
        }
    for (const auto& [sat, list] : nav.value().glonass) {
        const EpochTime t = list.front().epoch;
        const auto a = satellite_position(nav.value(), sat, t), b = satellite_position(*r.nav, sat, t);
        ASSERT_TRUE(a && b) << sat;
        EXPECT_LT(std::hypot((*a)[0] - (*b)[0], (*a)[1] - (*b)[1], (*a)[2] - (*b)[2]), 1.0) << sat;
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

TEST(rtcm_encode, RecordsComeBackWithTheirTimesAndLossOfLock) {
    // G01: a loss of lock at the third epoch; at the fifth its phase lies 5 km from its range.
    std::string text = kHeader;
    const double phase = 105100000.125;
    for (int k = 0; k < 6; ++k) text += epoch_lines(k, k == 2 ? 1 : 0, k == 4 ? phase + 5000 / 0.190293672798365 : phase + k);
    auto rec = read_rinex_obs_text(text, "t.rnx");
    ASSERT_TRUE(rec);
    for (int msm : {7, 4}) {
        const RinexObsData back = round_trip(rec.value(), msm);
        ASSERT_EQ(back.epochs.size(), 6u);
        // The minute turns over between the epochs; the day too, at midnight GPS time.
        EXPECT_EQ(back.epochs[0].time, (EpochTime{2020, 6, 25, 23, 59, 30.0}));
        EXPECT_EQ(back.epochs[5].time, (EpochTime{2020, 6, 26, 0, 0, 20.0}));
        const Series g = series(back, "G01", "L1C");
        // The move of the phase counts as a loss of lock. Its move back at the next epoch restarts
        // the lock time again, from zero to zero: the messages cannot tell that one.
        EXPECT_EQ(g.lli, (std::vector<int>{0, 0, 1, 0, 1, 0}));
        const Series original = series(rec.value(), "G01", "L1C");
        for (int k : {0, 1, 2, 3, 5}) EXPECT_NEAR(g.values[k], original.values[k], 0.002) << k;  // as they were
        // The far phase came back moved by whole cycles, close to the range.
        const double shift = g.values[4] - original.values[4];
        EXPECT_NEAR(shift, std::round(shift), 0.002);
        EXPECT_NE(std::round(shift), 0.0);
        // GLONASS with its channel from the header, and BeiDou in its own time scale.
        const Series r = series(back, "R07", "D1C"), c = series(back, "C05", "S2I");
        for (int k = 0; k < 6; ++k) {
            if (msm == 7) EXPECT_NEAR(r.values[k], -500.5, 0.001);
            EXPECT_EQ(c.values[k], 41.0);
        }
        EXPECT_EQ(series(back, "R07", "S1C").values[0], msm == 7 ? 38.0625 : 38.0);
    }
}

TEST(rtcm_encode, OptionsOutOfRangeAreRefused) {
    auto rec = read_rinex_obs_text(std::string(kHeader) + epoch_lines(0, 0, 1e8), "t.rnx");
    ASSERT_TRUE(rec);
    EncodeOptions o;
    o.msm = 5;
    EXPECT_FALSE(encode_rtcm3(rec.value(), nullptr, o));
    o.msm = 7;
    o.station_id = 4096;
    EXPECT_FALSE(encode_rtcm3(rec.value(), nullptr, o));
    o.station_id = 0;
    o.from = gps_seconds(EpochTime{2020, 6, 26, 0, 0, 0.0});
    auto none = encode_rtcm3(rec.value(), nullptr, o);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none.value().empty());  // every epoch lies before `from`
}

TEST(rtcm_encode, TheLastMessageSentClosesTheEpoch) {
    // BeiDou's only signal has no MSM number: its message is never sent, and GPS's, now the
    // epoch's last, must close it. Left open, the next epoch's GLONASS message would read as part
    // of this epoch's chain and teach the decoder a leap second one short.
    const std::string text =
        "     3.05           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "G    1 S1C                                                  SYS / # / OBS TYPES\n"
        "R    1 S1C                                                  SYS / # / OBS TYPES\n"
        "C    1 S9X                                                  SYS / # / OBS TYPES\n"
        "                                                            END OF HEADER\n"
        "> 2022 11 11 17 00  0.0000000  0  2\n"
        "G01        45.000\n"
        "C05        41.000\n"
        "> 2022 11 11 17 00  1.0000000  0  5\n"
        "R04        40.000\n"
        "G01        45.000\nG02        44.000\nG03        43.000\nG04        42.000\n";
    auto rec = read_rinex_obs_text(text, "t.rnx");
    ASSERT_TRUE(rec);
    auto epochs = encode_rtcm3(rec.value(), nullptr, EncodeOptions{});
    ASSERT_TRUE(epochs);
    for (const auto& e : epochs.value()) {
        std::vector<ObsMessage> chain;
        FrameScanner f;
        f.feed(e.bytes, [&](std::string_view p) {
            if (auto m = decode_msm(p)) chain.push_back(*m);
        });
        ASSERT_FALSE(chain.empty());
        for (std::size_t i = 0; i < chain.size(); ++i) EXPECT_EQ(chain[i].more, i + 1 < chain.size());
    }
    const RinexObsData back = round_trip(rec.value(), 7);
    ASSERT_EQ(back.epochs.size(), 2u);
    EXPECT_EQ(series(back, "R04", "S1C").values[1], 40.0);  // at 17:00:01, not a second early
}
