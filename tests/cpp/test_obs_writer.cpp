// RINEX 3 writer and Hatanaka encoder: number fields, records read back through the reader and
// the project's CRINEX decoder, the compact text itself, and what RINEX 3 cannot hold.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>

#include <unistd.h>

#include "archive/decoders.hpp"
#include "archive/encoders.hpp"
#include "common/file.hpp"
#include "rinex/obs_format.hpp"
#include "rinex/obs_reader.hpp"
#include "rinex/obs_writer.hpp"
#include "obs_record_checks.hpp"

using namespace tessora;

namespace {

std::string hl(const std::string& content, const std::string& label) {
    std::string s = content;
    s.resize(60, ' ');
    return s + label + "\n";
}

std::string f3(const std::string& value, char lli = ' ', char ssi = ' ') {
    return std::string(14 - value.size(), ' ') + value + lli + ssi;
}

RinexObsData read(std::string_view text) {
    auto r = read_rinex_obs(text, "test.obs");
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? std::move(r.value()) : RinexObsData{};
}

std::string write(const RinexObsData& rec, bool crinex = false, RinexWriteOptions o = {}) {
    Buffer out;
    o.date = "20240101 000000 UTC";
    const WriteOutcome r = write_rinex_obs_text(rec, out, o, crinex);
    EXPECT_TRUE(r) << r.message;
    return std::string(out.view());
}

std::string refusal(const RinexObsData& rec) {
    Buffer out;
    const WriteOutcome r = write_rinex_obs_text(rec, out);
    EXPECT_EQ(r.failure, WriteFailure::unwritable);
    return r.message;
}

const char* const kMagnitudes[] = {"0.001",     "-0.001",    "0.250",         "-0.920",        "7.000",
                                   "-123.456",  "45.250",    "20000000.123",  "120000000.999", "-999999999.999",
                                   "9999999999.999", "1234567.5", "-40000.004", "999.999", "1000.000"};

// A RINEX 3 file with what the compact form has to carry: satellites that come and go, blank
// observations, indicators that change, values of every magnitude, a repeated code in a list,
// epoch flags 1 and 6, and event epochs whose special records read as observation lines.
std::string random_v3(std::uint64_t seed, int epochs) {
    std::mt19937_64 rng(seed);
    std::string t = hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") + hl("TEST SITE", "MARKER NAME") +
                    hl("1234                SEPT POLARX5        5.2", "REC # / TYPE / VERS") +
                    hl("5678                TRM59800.00     NONE", "ANT # / TYPE") +
                    hl("  3582105.2910   532589.7313  5232754.80541", "APPROX POSITION XYZ") +
                    hl("G    6 C1C L1C D1C S1C C2W S1C", "SYS / # / OBS TYPES") +
                    hl("E    4 C1C L1C S1C S5Q", "SYS / # / OBS TYPES") + hl("R    2 C1C S1C", "SYS / # / OBS TYPES") +
                    hl("     1.000", "INTERVAL") + hl("  2020     6    25     0     0    0.0000000     GAL", "TIME OF FIRST OBS") +
                    hl("  2 R01  1 R07 -4", "GLONASS SLOT / FRQ #") + hl("", "END OF HEADER");
    const std::string sats[] = {"G01", "G02", "G13", "E05", "E30", "R01", "R07"};
    for (int k = 0; k < epochs; ++k) {
        std::string lines;
        int count = 0;
        for (const auto& s : sats) {
            if (rng() % 5 == 0) continue;  // absent from this epoch
            const int ntypes = s[0] == 'G' ? 6 : s[0] == 'E' ? 4 : 2;
            std::string line = s;
            for (int j = 0; j < ntypes; ++j) {
                const auto r = rng() % 10;
                if (r == 0) {
                    line += f3("");
                    continue;
                }
                const std::string v = r < 4 ? kMagnitudes[rng() % std::size(kMagnitudes)]
                                            : std::to_string(20000000 + k * 731 + j) + ".5" + std::to_string(rng() % 10) + "3";
                line += f3(v, rng() % 3 == 0 ? char('0' + rng() % 8) : ' ', rng() % 2 ? char('1' + rng() % 9) : ' ');
            }
            lines += line + "\n";
            ++count;
        }
        const unsigned flag = rng() % 9 == 0 ? static_cast<unsigned>(1 + rng() % 6) : 0;
        char head[64];
        std::snprintf(head, sizeof head, "> 2020 06 25 %02d %02d %10.7f  %u%3d\n", k / 60 % 24, k % 60, (k % 7) * 1.25, flag, count);
        t += head + lines;
    }
    return t;
}

}  // namespace

TEST(ObsWriterFields, F14_3MatchesExactDecimalRounding) {
    using namespace rinex_format;
    std::mt19937_64 rng(7);
    std::vector<double> values = {0.25, -0.92, 1.0005, 0.0005, 2.0005, -2.0005, 0.0015, 1e-9, 123456789.0625, 9999999999.999};
    for (int i = 0; i < 20000; ++i) {
        const double mag = std::pow(10.0, static_cast<double>(rng() % 13) - 3.0);
        values.push_back((static_cast<double>(rng() % 2000001) / 1000000.0 - 1.0) * mag);
        values.push_back(static_cast<double>(static_cast<std::int64_t>(rng() % 20000000000ULL) - 1000000000) / 1000.0 + 0.0005);
    }
    for (double v : values) {
        std::int64_t k = 0;
        char ref[64];
        const auto end = std::to_chars(ref, ref + sizeof ref, v, std::chars_format::fixed, 3).ptr;
        const std::string want(ref, end);
        const FieldKind kind = to_thousandths(v, k);
        if (want == "0.000" || want == "-0.000") {
            EXPECT_EQ(kind, FieldKind::zero) << want;
        } else if (want.size() > 14) {
            EXPECT_EQ(kind, FieldKind::unwritable) << want;
        } else {
            ASSERT_EQ(kind, FieldKind::value) << want;
            char field[14];
            write_f14_3(field, k);
            EXPECT_EQ(std::string(field, 14), std::string(14 - want.size(), ' ') + want);
        }
    }
    std::int64_t k;
    EXPECT_EQ(to_thousandths(9999999999.9995, k), FieldKind::unwritable);
    EXPECT_EQ(to_thousandths(-999999999.9995, k), FieldKind::unwritable);
    EXPECT_EQ(to_thousandths(NAN, k), FieldKind::unwritable);
    EXPECT_EQ(to_thousandths(-INFINITY, k), FieldKind::unwritable);
    EXPECT_EQ(to_thousandths(-0.0004, k), FieldKind::zero);
}

TEST(ObsWriterRoundTrip, RandomRecordsThroughTextAndCompactForm) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        const RinexObsData rec = read(random_v3(seed, 120));
        ASSERT_GT(rec.epochs.size(), 100u);
        const std::string text = write(rec);
        expect_same(rec, read(text));
        EXPECT_EQ(read(text).version, 3.05);
        const std::string compact = write(rec, true);
        auto expanded = decode_crinex(compact);
        ASSERT_TRUE(expanded.ok()) << expanded.error();
        expect_same(rec, read(expanded->view()));
        expect_same(rec, read(compact));  // recognised by its content
    }
}

TEST(ObsWriterRoundTrip, HeaderValuesBeyondTheirFormatReadBackExactly) {
    RinexObsData rec = read(random_v3(3, 4));
    rec.approx_position = std::array<double, 3>{3582105.29101, -0.00001, 1e-7};
    rec.interval = 0.0125;
    rec.glonass_slots = {{"7", -7}, {"24", 6}, {"123", -12}};
    rec.receiver_type = "ÅRHUS RECEIVER 12345";  // 21 bytes: cut before the last character
    rec.receiver_firmware = "5.4.0 / 2024-01-15 beta";  // 23 bytes: cut to the field's 20
    const RinexObsData back = read(write(rec));
    EXPECT_EQ(back.approx_position, rec.approx_position);
    EXPECT_EQ(back.interval, 0.0125);
    EXPECT_EQ(back.glonass_slots, rec.glonass_slots);
    EXPECT_EQ(back.receiver_type, "ÅRHUS RECEIVER 1234");
    EXPECT_EQ(back.receiver_firmware, "5.4.0 / 2024-01-15 b");
}

TEST(CrinexEncoder, DifferencesArcsAndIndicatorsAsTheFormatDefines) {
    Buffer out;
    Crinex3Encoder enc(out);
    const std::int64_t v[] = {1000, 2000, 4000, 8000, 16000, 16000};
    const std::uint8_t on[] = {1, 1};
    const std::uint8_t off[] = {0, 1};
    for (int k = 0; k < 6; ++k) {
        char head[40];
        std::snprintf(head, sizeof head, "> 2020 01 01 00 00%11.7f  0  1", 10.0 * k);
        enc.epoch(head, "G01");
        const std::int64_t vals[] = {v[k], -5};
        enc.satellite("G01", 2, vals, k == 4 ? off : on, k < 2 ? "1 5 " : " 5  ");
    }
    const std::string want =
        "> 2020 01 01 00 00  0.0000000  0  1      G01\n\n3&1000 3&-5 1&5&\n"  // written whole
        "                   1\n\n1000 0\n"        // first differences, indicators unchanged
        "                   2\n\n1000 0 &5&\n"    // second differences; changed indicators
        "                   3\n\n1000 0\n"        // third differences from here on
        "                   4\n\n 0  &\n"         // a blank observation ends its arc
        "                   5\n\n3&16000 0  5\n"; // and its next value starts a new one
    EXPECT_EQ(out.view(), want);
}

TEST(CrinexEncoder, SatellitesComingBackAndEventsStartAfresh) {
    RinexObsData rec = read(random_v3(5, 30));
    const std::string compact = write(rec, true);
    auto expanded = decode_crinex(compact);
    ASSERT_TRUE(expanded.ok()) << expanded.error();
    expect_same(rec, read(expanded->view()));
    std::size_t events = 0, whole = 0;
    for (const auto& e : rec.epochs) events += e.flag >= 2 && e.flag <= 5;
    for (std::size_t p = compact.find("\n>"); p != std::string::npos; p = compact.find("\n>", p + 1)) ++whole;
    EXPECT_GE(whole, events + 1);  // the first epoch, each event and the epoch after it
}

TEST(ObsWriterLimits, WhatRinex3CannotHold) {
    const std::string h2 = hl("     2.11           OBSERVATION DATA    M", "RINEX VERSION / TYPE") +
                           hl("     4    C1    D1    S1    S7", "# / TYPES OF OBSERV") + hl("", "END OF HEADER");
    const std::string d2 = " 20  6 25  0  0  0.0000000  0  2G01S20\n" + f3("20000000.123") + f3("-1234.5") + f3("45.0") +
                           "\n" + f3("20000000.5") + f3("") + f3("41.0") + "\n";
    RinexObsData v2 = read(h2 + d2);
    EXPECT_EQ(refusal(v2), "observation code 'S7' of system G has no RINEX 3 equivalent");
    for (auto& t : v2.obs_types) t.codes.pop_back();  // without S7: D1 is D1C, S20 gets a list of its own
    const RinexObsData back = read(write(v2));
    ASSERT_NE(back.types_of('S'), nullptr);
    EXPECT_EQ(code_names(back, *back.types_of('S')), "C1C S1C ");
    EXPECT_EQ(code_names(back, *back.types_of('G')), "C1C D1C S1C ");
    EXPECT_EQ(back.obs_values.size(), v2.obs_values.size());

    RinexObsData big = read(random_v3(2, 3));
    big.obs_values[1] = 1e10;
    EXPECT_NE(refusal(big).find("the value 10000000000 of"), std::string::npos);
    RinexWriteOptions blank;
    blank.blank_unwritable = true;
    EXPECT_EQ(read(write(big, false, blank)).obs_values.size(), big.obs_values.size() - 1);
    big.obs_values[1] = 1.0;
    big.satellite_names[0] = "G&1";  // "&" is a blank in compact epoch lines
    EXPECT_EQ(refusal(big), "satellite 'G&1' cannot be written in RINEX 3");
    big.satellite_names[0] = "G01";
    big.epochs[0].flag = 7;
    EXPECT_NE(refusal(big).find("has the flag 7, which RINEX does not define"), std::string::npos);
    big.epochs[0].flag = 0;
    big.epochs[0].time.second = 100.0;  // would run into the minute
    EXPECT_NE(refusal(big).find("does not fit a RINEX 3 epoch line"), std::string::npos);
}

TEST(ObsWriterFiles, EncodingByNameAndWriteFailures) {
    const RinexObsData rec = read(random_v3(9, 40));
    const auto dir = std::filesystem::temp_directory_path() / ("tessora_writer_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const char* name : {"a.rnx", "a.rnx.gz", "a.crx", "A.CRX.GZ"}) {
        const std::string path = (dir / name).string();
        ASSERT_TRUE(write_rinex_obs_file(rec, path)) << name;
        std::string bytes, error;
        ASSERT_TRUE(read_whole_file(path, bytes, error));
        const OutputEncoding enc = output_encoding_of(name);
        EXPECT_EQ(has_gzip_magic(bytes), enc.gzip) << name;
        expect_same(rec, read(bytes));
    }
    const WriteOutcome missing = write_rinex_obs_file(rec, (dir / "no" / "a.rnx").string());
    EXPECT_EQ(missing.failure, WriteFailure::io);
    EXPECT_EQ(missing.message, "No such file or directory (os error 2)");
    std::filesystem::remove_all(dir);
}
