// Compressed input: detection, the gzip/bzip2/compress/Hatanaka decoders, their failures and
// limits, and the real compressed files against their published digests.
#include <gtest/gtest.h>

#include <bzlib.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../support/lzw_encode.hpp"
#include "../support/sha256.hpp"
#include "archive/decoders.hpp"
#include "archive/expand.hpp"
#include "common/file.hpp"
#include "rinex/obs_reader.hpp"

using namespace tessora;

namespace {

std::string gzip_of(std::string_view s, int level = 6) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, s.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
    zs.avail_in = static_cast<uInt>(s.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string bzip2_of(std::string_view s) {
    unsigned len = static_cast<unsigned>(s.size() + s.size() / 100 + 700);
    std::string out(len, '\0');
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(s.data()), static_cast<unsigned>(s.size()),
                                       9, 0, 30),
              BZ_OK);
    out.resize(len);
    return out;
}

std::string text_of(const Expected<Buffer>& b) { return b ? std::string(b->view()) : "ERROR: " + b.error(); }

std::string sample_text(std::size_t lines) {
    std::string s;
    for (std::size_t i = 0; i < lines; ++i)
        s += "G" + std::to_string(10 + i % 20) + "  2" + std::to_string(1000000 + i * 7919 % 99991) + ".123 7  " +
             std::to_string(40 + i % 13) + ".250\n";
    return s;
}

std::string pad(std::string s, std::size_t n) {
    s.resize(n, ' ');
    return s;
}
std::string hl(const std::string& content, const std::string& label) { return pad(content, 60) + label + "\n"; }

std::string rnx3_header(const std::string& types) {
    return hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") + types + hl("", "END OF HEADER");
}

// A compact RINEX 3 file: the two CRINEX records, a header announcing `types`, then `data`.
std::string crx3(const std::string& types, const std::string& data) {
    return hl("3.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE") +
           hl("RNX2CRX ver.4.1.0                       25-Jul-22 10:40", "CRINEX PROG / DATE") + rnx3_header(types) + data;
}

const std::string kTypesG2 = hl("G    2 C1C S1C", "SYS / # / OBS TYPES");

// A RINEX 3 observation: value right-aligned in 14 columns, then the two indicators.
std::string f3(const std::string& value, char lli = ' ', char ssi = ' ') {
    return std::string(14 - value.size(), ' ') + value + lli + ssi;
}
std::string rtrim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string epoch3(const std::string& time, int n, const std::string& sats) {
    return pad("> " + time + "  0 " + (n < 10 ? " " : "") + std::to_string(n), 41) + sats + "\n";
}

// The compact form of an epoch line that follows `old`: the text difference a writer emits.
std::string epoch_diff(std::string old, std::string now) {
    if (!old.empty() && old.back() == '\n') old.pop_back();
    if (!now.empty() && now.back() == '\n') now.pop_back();
    std::string d;
    for (std::size_t i = 0; i < now.size(); ++i) {
        const char o = i < old.size() ? old[i] : ' ';
        d += now[i] == o ? ' ' : now[i] == ' ' ? '&' : now[i];
    }
    for (std::size_t i = now.size(); i < old.size(); ++i) d += old[i] == ' ' ? ' ' : '&';
    return rtrim(d) + "\n";
}

// ----------------------------------------------------------------------------- detection
TEST(Detection, SignaturesAndCrinexVersions) {
    EXPECT_TRUE(has_gzip_magic("\x1f\x8b\x08"));
    EXPECT_FALSE(has_gzip_magic("\x1f"));
    EXPECT_TRUE(has_compress_magic("\x1f\x9d\x90"));
    EXPECT_TRUE(has_bzip2_magic("BZh91AY"));
    EXPECT_FALSE(has_bzip2_magic("BZh0"));
    EXPECT_FALSE(has_bzip2_magic("BZhx"));
    EXPECT_EQ(crinex_version(crx3(kTypesG2, "")), 3);
    EXPECT_EQ(crinex_version(hl("1.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE")), 1);
    EXPECT_EQ(crinex_version(hl("2.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE")), -1);
    EXPECT_EQ(crinex_version(hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE")), 0);
    // The label must stand in its columns; a short line is never a CRINEX record.
    EXPECT_EQ(crinex_version("3.0  CRINEX VERS   / TYPE\n"), 0);
}

TEST(Expand, PlainInputIsNotCopiedAndNamesAreIrrelevant) {
    const std::string text = rnx3_header(kTypesG2);
    auto c = expand_content(text);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c->view().data(), text.data());
    EXPECT_TRUE(c->layers().empty());
    EXPECT_EQ(c->description(), "plain");
}

TEST(Expand, NestedLayersComeOffInOrder) {
    const std::string text = sample_text(2000);
    const std::string nested = gzip_of(bzip2_of(test_support::lzw_encode(text)));
    auto c = expand_content(nested);
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_EQ(c->view(), text);
    EXPECT_EQ(c->description(), "gzip+bzip2+compress (.Z)");

    std::string deep = text;
    for (int i = 0; i <= kMaxLayers; ++i) deep = gzip_of(deep, 1);
    auto d = expand_content(deep);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error(), "gzip: more nested compression layers than 4 at byte offset 0");
}

TEST(Expand, ErrorsOfInnerLayersNameTheOuterOnes) {
    std::string z = test_support::lzw_encode(sample_text(300));
    z.resize(z.size() / 2);
    auto c = expand_content(gzip_of(z));
    ASSERT_FALSE(c.ok());
    EXPECT_NE(c.error().find("compress (.Z): "), std::string::npos) << c.error();
    EXPECT_NE(c.error().find(" (inside gzip)"), std::string::npos) << c.error();

    const std::string broken = crx3(kTypesG2, epoch3("2020 06 25 00 00  0.0000000", 1, "G01") + "\n5 7\n");
    auto b = expand_content(gzip_of(broken));
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().rfind("Hatanaka CRINEX 3.0 (inside gzip): a difference without a preceding value", 0), 0u)
        << b.error();
}

// ----------------------------------------------------------------------------- gzip and bzip2
TEST(Gzip, MembersPaddingAndTrailingData) {
    const std::string a = sample_text(500), b = sample_text(37);
    EXPECT_EQ(text_of(gunzip(gzip_of(a) + gzip_of(b))), a + b);
    EXPECT_EQ(text_of(gunzip(gzip_of(a) + std::string(512, '\0'))), a);
    EXPECT_EQ(text_of(gunzip(gzip_of(""))), "");
    const std::string z = gzip_of(a);
    EXPECT_EQ(text_of(gunzip(z + "garbage")),
              "ERROR: gzip: unexpected data after the end of the compressed stream at byte offset " +
                  std::to_string(z.size()));
}

TEST(Gzip, EveryCutAndDamagedChecksumIsAnError) {
    const std::string z = gzip_of(sample_text(200));
    for (std::size_t cut = 0; cut < z.size(); ++cut) {
        auto r = gunzip(std::string_view(z).substr(0, cut));
        ASSERT_FALSE(r.ok()) << "cut at " << cut;
        EXPECT_NE(r.error().rfind("gzip: ", 0), std::string::npos);
        EXPECT_NE(r.error().find("at byte offset"), std::string::npos);
    }
    std::string crc = z;
    crc[crc.size() - 6] ^= 0x40;  // inside the CRC-32 field
    EXPECT_EQ(text_of(gunzip(crc)).rfind("ERROR: gzip: corrupt data (incorrect data check) at byte offset", 0), 0u)
        << text_of(gunzip(crc));
    std::string data = z;
    data[z.size() / 2] ^= 0x55;
    EXPECT_FALSE(gunzip(data).ok());
}

TEST(Bzip2, StreamsCutsAndDamage) {
    const std::string a = sample_text(800), b = sample_text(5);
    EXPECT_EQ(text_of(bunzip2(bzip2_of(a) + bzip2_of(b))), a + b);
    const std::string z = bzip2_of(a);
    for (std::size_t cut = 0; cut < z.size(); cut += 7) ASSERT_FALSE(bunzip2(std::string_view(z).substr(0, cut)).ok());
    std::string bad = z;
    bad[z.size() / 2] ^= 0x10;
    auto r = bunzip2(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().rfind("bzip2: corrupt data", 0), 0u) << r.error();
    EXPECT_EQ(text_of(bunzip2(z + "x")),
              "ERROR: bzip2: unexpected data after the end of the compressed stream at byte offset " +
                  std::to_string(z.size()));
}

// ----------------------------------------------------------------------------- Unix compress
TEST(Lzw, RoundTripsAtEveryWidthInBothModes) {
    std::mt19937_64 rng(7);
    for (unsigned bits = 9; bits <= 16; ++bits) {
        for (int mode = 0; mode < 3; ++mode) {
            // Large and varied enough to fill the table at every width, so that widening and
            // clearing (block mode) both happen.
            std::string s(bits >= 14 ? 400000 : 60000, '\0');
            const unsigned alphabet = 2 + static_cast<unsigned>(rng() % 200);
            for (auto& c : s) c = static_cast<char>(rng() % alphabet);
            const bool block = mode != 0, clear = mode == 2;
            auto r = uncompress_lzw(test_support::lzw_encode(s, bits, block, clear));
            ASSERT_TRUE(r.ok()) << bits << " bits, mode " << mode << ": " << r.error();
            ASSERT_TRUE(r->view() == s) << bits << " bits, mode " << mode;
        }
    }
    EXPECT_EQ(text_of(uncompress_lzw(test_support::lzw_encode(""))), "");
    EXPECT_EQ(text_of(uncompress_lzw(test_support::lzw_encode("aaaaaaaaaaaaaaaaaaaaaaaa"))), "aaaaaaaaaaaaaaaaaaaaaaaa");
}

TEST(Lzw, MalformedStreams) {
    EXPECT_EQ(text_of(uncompress_lzw("\x1f\x9d")), "ERROR: compress (.Z): truncated header at byte offset 2");
    EXPECT_EQ(text_of(uncompress_lzw(std::string("\x1f\x9d\x08", 3))),
              "ERROR: compress (.Z): unsupported largest code width at byte offset 2");
    EXPECT_EQ(text_of(uncompress_lzw(std::string("\x1f\x9d\xd0", 3))),
              "ERROR: compress (.Z): unknown header flags at byte offset 2");
    // First code 300 (9 bits, least significant first): not a literal.
    EXPECT_EQ(text_of(uncompress_lzw(std::string("\x1f\x9d\x90\x2c\x01", 5))),
              "ERROR: compress (.Z): corrupt data (the first code is not a literal) at byte offset 3");
    // 'a', then code 300 while the next free entry is 257.
    const char beyond[] = {'\x1f', '\x9d', '\x90', 'a', static_cast<char>(300 << 1 & 0xFF), static_cast<char>(300 >> 7), 0};
    EXPECT_EQ(text_of(uncompress_lzw(std::string(beyond, 7))),
              "ERROR: compress (.Z): corrupt data (a code beyond the table) at byte offset 4");
    const std::string z = test_support::lzw_encode(sample_text(50));
    int cut_inside_code = 0;
    for (std::size_t cut = 3; cut < z.size(); ++cut) {
        auto r = uncompress_lzw(std::string_view(z).substr(0, cut));
        if (!r.ok()) {
            EXPECT_EQ(r.error(), "compress (.Z): truncated stream: the data end inside a code at byte offset " +
                                     std::to_string(cut));
            ++cut_inside_code;
        } else {
            EXPECT_EQ(sample_text(50).compare(0, r->size(), r->view()), 0);  // a prefix, never garbage
        }
    }
    EXPECT_GT(cut_inside_code, 0);
}

TEST(Expand, CompressContentCutInsideALineIsTruncated) {
    const std::string text = sample_text(100);
    auto whole = expand_content(test_support::lzw_encode(text));
    ASSERT_TRUE(whole.ok()) << whole.error();
    const std::string z = test_support::lzw_encode(text.substr(0, text.size() - 5));
    auto cut = expand_content(z);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error(), "compress (.Z): the content ends inside a line (a truncated file?) at byte offset " +
                               std::to_string(z.size()));
}

// ----------------------------------------------------------------------------- limits
TEST(Limits, ExpandedContentMayReachTheLimitButNotPassIt) {
    const std::string zeros(1 << 20, '\n');
    const std::string crx = crx3(kTypesG2, epoch3("2020 06 25 00 00  0.0000000", 1, "G01") + "\n3&100 3&45000\n");
    const auto full = decode_crinex(crx);
    ASSERT_TRUE(full.ok());
    struct Case {
        std::string input;
        std::uint64_t size;
        Expected<Buffer> (*decode)(std::string_view, std::uint64_t);
        const char* name;
    };
    const Case cases[] = {
        {gzip_of(zeros), zeros.size(), [](std::string_view s, std::uint64_t l) { return gunzip(s, l); }, "gzip"},
        {bzip2_of(zeros), zeros.size(), [](std::string_view s, std::uint64_t l) { return bunzip2(s, l); }, "bzip2"},
        {test_support::lzw_encode(zeros), zeros.size(), [](std::string_view s, std::uint64_t l) { return uncompress_lzw(s, l); },
         "compress (.Z)"},
        {crx, full->size(), [](std::string_view s, std::uint64_t l) { return decode_crinex(s, l); }, "Hatanaka CRINEX 3.0"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.decode(c.input, c.size).ok()) << c.name;
        auto r = c.decode(c.input, c.size - 1);
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.error().rfind(std::string(c.name) + ": the expanded content exceeds the limit of " +
                                      std::to_string(c.size - 1) + " bytes (a decompression bomb?) at byte offset",
                                  0),
                  0u)
            << r.error();
    }
    EXPECT_EQ(kDefaultExpandLimit, 4294967296u);
    auto nested = expand_content(gzip_of(gzip_of(zeros)), zeros.size() - 1);
    ASSERT_FALSE(nested.ok());
    EXPECT_NE(nested.error().find("exceeds the limit"), std::string::npos);
}

// ----------------------------------------------------------------------------- CRINEX
TEST(Crinex3, DifferencesGrowToTheirOrderAndBlanksEndArcs) {
    const std::string data = epoch3("2020 06 25 00 00  0.0000000", 1, "G01") + "3&-123456789012\n" +
                             "3&20000000123 3&45250\n" +
                             "                   3\n12\n1000 -250\n" +    // 00:00:30, first differences
                             "                 1 &\n\n10 \n" +           // 00:01:00, no clock, S1C blank
                             "                 2\n\n5 3&46000\n" +       // S1C starts a new arc
                             "                 3\n\n2 100\n";            // third differences from here on
    const std::string expected = rnx3_header(kTypesG2) +
                                 "> 2020 06 25 00 00  0.0000000  0  1       -.123456789012\n" +
                                 rtrim("G01" + f3("20000000.123") + f3("45.250")) + "\n" +
                                 "> 2020 06 25 00 00 30.0000000  0  1       -.123456789000\n" +
                                 rtrim("G01" + f3("20000001.123") + f3("45.000")) + "\n" +
                                 "> 2020 06 25 00 01  0.0000000  0  1\n" + rtrim("G01" + f3("20000002.133")) + "\n" +
                                 "> 2020 06 25 00 02  0.0000000  0  1\n" +
                                 rtrim("G01" + f3("20000003.158") + f3("46.000")) + "\n" +
                                 "> 2020 06 25 00 03  0.0000000  0  1\n" +
                                 rtrim("G01" + f3("20000004.200") + f3("46.100")) + "\n";
    EXPECT_EQ(text_of(decode_crinex(crx3(kTypesG2, data))), expected);
}

TEST(Crinex3, IndicatorsAreTextDifferencesAndBlankObservationsHaveNone) {
    const std::string data = epoch3("2020 06 25 00 00  0.0000000", 1, "G01") + "\n3&100 3&-200 5678\n" +
                             "                   3\n\n1 1  &9 \n" +  // '&' clears, ' ' keeps
                             "                 1 &\n\n1\n" +         // S1C blank: its indicators go
                             "                 2\n\n1 3&300\n";      // ... and do not come back
    const std::string expected =
        rnx3_header(kTypesG2) + "> 2020 06 25 00 00  0.0000000  0  1\n" + "G01" + f3(".100", '5', '6') +
        f3("-.200", '7', '8') + "\n" + "> 2020 06 25 00 00 30.0000000  0  1\n" + "G01" + f3(".101", '5', ' ') +
        f3("-.199", '9', '8') + "\n" + "> 2020 06 25 00 01  0.0000000  0  1\n" + rtrim("G01" + f3(".103", '5', ' ')) +
        "\n" + "> 2020 06 25 00 02  0.0000000  0  1\n" + "G01" + f3(".107", '5', ' ') + rtrim(f3(".300")) + "\n";
    EXPECT_EQ(text_of(decode_crinex(crx3(kTypesG2, data))), expected);
}

TEST(Crinex3, AFreshEpochLineStartsEverySatelliteAfresh) {
    const std::string e1 = epoch3("2020 06 25 00 00  0.0000000", 1, "G01") + "\n3&100 3&200 56\n";
    auto diff = decode_crinex(crx3(kTypesG2, e1 + "                   3\n\n1 1\n"));
    ASSERT_TRUE(diff.ok()) << diff.error();
    EXPECT_NE(diff->view().find("G01          .10156          .201\n"), std::string::npos) << diff->view();
    // The same epoch written afresh: the arcs and indicators of before do not carry over.
    const std::string e2 = epoch3("2020 06 25 00 00 30.0000000", 1, "G01");
    auto broken = decode_crinex(crx3(kTypesG2, e1 + e2 + "\n1 1\n"));
    ASSERT_FALSE(broken.ok());
    EXPECT_NE(broken.error().find("a difference without a preceding value"), std::string::npos);
    auto fresh = decode_crinex(crx3(kTypesG2, e1 + e2 + "\n3&7 3&8\n"));
    ASSERT_TRUE(fresh.ok()) << fresh.error();
    EXPECT_NE(fresh->view().find("G01          .007            .008\n"), std::string::npos) << fresh->view();
}

TEST(Crinex3, ASatelliteMissingFromAnEpochRestartsItsArcs) {
    const std::string l1 = epoch3("2020 06 25 00 00  0.0000000", 2, "G01G02");
    const std::string l2 = epoch3("2020 06 25 00 00 30.0000000", 1, "G02");
    const std::string l3 = epoch3("2020 06 25 00 01  0.0000000", 2, "G01G02");
    const std::string start = l1 + "\n3&100 3&200\n3&300 3&400\n" + epoch_diff(l1, l2) + "\n1 1\n";
    const std::string third = epoch_diff(l2, l3) + "\n";
    auto broken = decode_crinex(crx3(kTypesG2, start + third + "1 1\n1 1\n"));
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.error(),
              "Hatanaka CRINEX 3.0: a difference without a preceding value in an observation field at line 15 "
              "(byte offset " + std::to_string(crx3(kTypesG2, start + third).size()) + ")");
    auto fresh = decode_crinex(crx3(kTypesG2, start + third + "3&7 3&8\n1 1\n"));
    ASSERT_TRUE(fresh.ok()) << fresh.error();
    EXPECT_NE(fresh->view().find(l3.substr(0, 35) + "\nG01          .007            .008\nG02          .303            .403\n"),
              std::string::npos)
        << fresh->view();
}

TEST(Crinex3, EventRecordsAreCopiedAndCrlfIsAccepted) {
    const std::string data = epoch3("2020 06 25 00 00  0.0000000", 1, "G01") + "\n3&100 3&200\n" +
                             pad(">                              4  2", 41) + "\n" +
                             hl("ANTENNA MOVED", "COMMENT") + hl("        1.0000        0.0000        0.0000", "ANTENNA: DELTA H/E/N") +
                             epoch3("2020 06 25 00 01  0.0000000", 1, "G01") + "\n3&101 3&201\n";
    const std::string expected = rnx3_header(kTypesG2) + "> 2020 06 25 00 00  0.0000000  0  1\n" + "G01" +
                                 f3(".100") + rtrim(f3(".200")) + "\n" + ">                              4  2\n" +
                                 hl("ANTENNA MOVED", "COMMENT") +
                                 hl("        1.0000        0.0000        0.0000", "ANTENNA: DELTA H/E/N") +
                                 "> 2020 06 25 00 01  0.0000000  0  1\n" + "G01" + f3(".101") + rtrim(f3(".201")) + "\n";
    const std::string crx = crx3(kTypesG2, data);
    EXPECT_EQ(text_of(decode_crinex(crx)), expected);
    std::string crlf;
    for (char c : crx) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(text_of(decode_crinex(crlf + "\r\n\r\n")), expected);  // blank lines at the end are no epoch
}

TEST(Crinex1, ContinuationLinesFiveObservationsALineAndTheClockColumn) {
    const std::string types = hl("     6    C1    L1    L2    P2    S1    S2", "# / TYPES OF OBSERV");
    std::string sats, data_lines;
    for (int i = 1; i <= 14; ++i) {
        sats += (i < 10 ? "G0" : "G") + std::to_string(i);
        data_lines += "3&" + std::to_string(i) + " 3&2 3&3 3&4 3&5000 3&-6000\n";
    }
    const std::string rnx2 = hl("     2.11           OBSERVATION DATA    G (GPS)", "RINEX VERSION / TYPE") + types +
                             hl("", "END OF HEADER");
    const std::string crx = hl("1.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE") +
                            hl("RNX2CRX ver.4.1.0                       01-Nov-22 12:28", "CRINEX PROG / DATE") + rnx2 +
                            "&20  6 25  0  0  0.0000000  0 14" + sats + "\n3&-123456789\n" + data_lines;
    std::string expected = rnx2 + " 20  6 25  0  0  0.0000000  0 14" + sats.substr(0, 36) + " -.123456789\n" +
                           std::string(32, ' ') + sats.substr(36) + "\n";
    for (int i = 1; i <= 14; ++i)
        expected += f3("." + std::string(i < 10 ? "00" : "0") + std::to_string(i)) + f3(".002") + f3(".003") +
                    f3(".004") + rtrim(f3("5.000")) + "\n" + rtrim(f3("-6.000")) + "\n";
    EXPECT_EQ(text_of(decode_crinex(crx)), expected);
    // The decoded text reads like the plain file it stands for.
    auto rec = read_rinex_obs(crx, "x.21d");
    ASSERT_TRUE(rec.ok());
    ASSERT_EQ(rec->epochs.size(), 1u);
    EXPECT_EQ(rec->epochs[0].sat_count, 14u);
}

TEST(Crinex, LinesThatBreakTheFormatAreErrors) {
    const std::string e1 = epoch3("2020 06 25 00 00  0.0000000", 1, "G01");
    const struct {
        std::string data;
        std::string error;
    } cases[] = {
        {"                   3\n\n1 1\n",
         "the epoch line is a difference from nothing (the first epoch, or one after an event) at line 6"},
        {pad(">                              4  0", 41) + "\n                   3\n\n1 1\n",
         "the epoch line is a difference from nothing (the first epoch, or one after an event) at line 7"},
        {e1 + "\n3&12x 3&5\n", "invalid observation field '3&12x' at line 8"},
        {e1 + "\n3&5 12&5\n", "invalid difference order in the observation field '12&5' at line 8"},
        {e1 + "\n3&5 3&9223372036854775807\n                   3\n\n1 1\n", "the observation value overflows at line 11"},
        {e1 + "\n3&5 --1\n", "invalid observation field '--1' at line 8"},
        {e1 + "x&1\n", "invalid receiver clock offset field 'x&1' at line 7"},
        {e1 + "\n", "the file ends inside an epoch (missing satellite lines) at line 7"},
        {e1, "the file ends inside an epoch (no clock offset line) at line 6"},
        {epoch3("2020 06 25 00 00  0.0000000", 3, "G01G02"), "the satellite list is shorter than its count at line 6"},
        {epoch3("2020 06 25 00 00  0.0000000", 1, "E01") + "\n3&1\n",
         "satellite 'E01' belongs to a system without observation types at line 8"},
        {pad("> 2020 06 25 00 00  0.0000000  0 1x", 41) + "G01\n", "unreadable satellite count in the epoch line at line 6"},
        {pad(">                              4  2", 41) + "\n" + hl("", "COMMENT"),
         "the file ends inside the special records of an event at line 7"},
    };
    for (const auto& c : cases) {
        auto r = decode_crinex(crx3(kTypesG2, c.data));
        ASSERT_FALSE(r.ok()) << c.error;
        EXPECT_EQ(r.error().substr(0, r.error().find(" (byte offset")), "Hatanaka CRINEX 3.0: " + c.error);
    }
    auto types = decode_crinex(crx3(hl("G    x C1C S1C", "SYS / # / OBS TYPES"), ""));
    ASSERT_FALSE(types.ok());
    EXPECT_EQ(types.error(), "Hatanaka CRINEX 3.0: unreadable number of observation types at line 4 (byte offset 241)");
    auto version = decode_crinex(hl("2.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE"));
    ASSERT_FALSE(version.ok());
    EXPECT_EQ(version.error(), "Hatanaka CRINEX: unsupported CRINEX version at byte offset 0");
    // A header without its end is handed on; the reader then reports the missing end.
    const std::string headless = crx3(kTypesG2, "").substr(0, crx3(kTypesG2, "").size() - 81);
    EXPECT_EQ(read_rinex_obs(headless, "x").error(), "No END OF HEADER found");
}

// ----------------------------------------------------------------------------- real files
const std::filesystem::path kData = TESSORA_DATA_DIR;

TEST(RealFiles, EveryCompressedFileExpandsToItsPublishedDigest) {
    std::ifstream manifest(kData / "compressed" / "MANIFEST.tsv");
    if (!manifest) GTEST_SKIP() << "real data folder not available";
    std::string line;
    std::getline(manifest, line);
    int files = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
        ASSERT_GE(f.size(), 5u);
        std::string bytes, err;
        ASSERT_TRUE(read_whole_file((kData / "compressed" / f[0]).string(), bytes, err)) << err;
        auto c = expand_content(bytes);
        ASSERT_TRUE(c.ok()) << f[0] << ": " << c.error();
        EXPECT_EQ(std::to_string(c->view().size()), f[2]) << f[0];
        EXPECT_EQ(test_support::Sha256::of(c->view()), f[3]) << f[0];
        std::string encoding = c->description();
        if (auto p = encoding.find("compress (.Z)"); p != std::string::npos) encoding.replace(p, 13, "compress(.Z)");
        EXPECT_EQ(encoding, f[1]) << f[0];
        ++files;
    }
    EXPECT_GE(files, 33);
}

}  // namespace

namespace {

// Field-by-field equality of two records.
void expect_same_record(const RinexObsData& a, const RinexObsData& b) {
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.marker_name, b.marker_name);
    EXPECT_EQ(a.code_names, b.code_names);
    EXPECT_EQ(a.satellite_names, b.satellite_names);
    ASSERT_EQ(a.epochs.size(), b.epochs.size());
    for (std::size_t i = 0; i < a.epochs.size(); ++i) {
        EXPECT_EQ(a.epochs[i].sat_begin, b.epochs[i].sat_begin);
        EXPECT_EQ(a.epochs[i].sat_count, b.epochs[i].sat_count);
        EXPECT_EQ(a.epochs[i].time.second, b.epochs[i].time.second);
    }
    EXPECT_TRUE(a.obs_values == b.obs_values);
    EXPECT_TRUE(a.obs_codes == b.obs_codes);
    EXPECT_TRUE(a.obs_indicators == b.obs_indicators);
}

TEST(RealFiles, ReadingWhileDecodingGivesTheSameRecordAndTheSameErrors) {
    std::string gz, err;
    if (!read_whole_file((kData / "compressed/rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.crx.gz").string(), gz,
                         err))
        GTEST_SKIP() << "real data folder not available";
    // A day file is read while it is decoded; the same text read at once gives the same record.
    auto streamed = read_rinex_obs(gz, "x");
    ASSERT_TRUE(streamed.ok()) << streamed.error();
    auto text = expand_content(gz);
    ASSERT_TRUE(text.ok());
    auto whole = read_rinex_obs_text(text->view(), "x");
    ASSERT_TRUE(whole.ok());
    expect_same_record(*streamed, *whole);
    // The compact text alone (no gzip) is read while it is decoded too.
    auto crx = gunzip(gz);
    ASSERT_TRUE(crx.ok());
    auto compact = read_rinex_obs(crx->view(), "x");
    ASSERT_TRUE(compact.ok()) << compact.error();
    expect_same_record(*compact, *whole);

    // Damage found after the reader has taken most of the text still fails the read, with the
    // message the decoder gives when it decodes at once.
    for (std::size_t cut : {gz.size() - 3, gz.size() / 2, std::size_t{2} << 20}) {
        const std::string_view part = std::string_view(gz).substr(0, cut);
        auto r = read_rinex_obs(part, "x");
        ASSERT_FALSE(r.ok()) << cut;
        EXPECT_EQ(r.error(), expand_content(part).error());
    }
    std::string bad = gz;
    bad[bad.size() * 3 / 4] ^= 0x20;
    auto r = read_rinex_obs(bad, "x");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), expand_content(bad).error());
    // A limit smaller than the text is honoured by every stage.
    auto limited = expand_content(gz, 10u << 20);
    ASSERT_FALSE(limited.ok());
    EXPECT_NE(limited.error().find("exceeds the limit of 10485760 bytes"), std::string::npos) << limited.error();
}

}  // namespace
