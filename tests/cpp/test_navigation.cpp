// RINEX navigation reader: column layouts of versions 2, 3 and 4, field syntax and record limits.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "navigation/nav_reader.hpp"

using namespace tessora;

namespace {

// Header lines: 60 columns of content and the label from column 60.
std::string header_line(const std::string& content, const std::string& label) {
    std::string s = content;
    s.resize(60, ' ');
    return s + label + "\n";
}

std::string v3_header(const std::string& version = "3.04") {
    std::string first = "     " + version;
    first.resize(20, ' ');
    first += "N: GNSS NAV DATA    M: MIXED";
    return header_line(first, "RINEX VERSION / TYPE") + header_line("", "END OF HEADER");
}

std::string v2_header(char type, const std::string& version = "2.11") {
    std::string first = "     " + version;
    first.resize(20, ' ');
    first += type;
    first += ": NAV DATA";
    return header_line(first, "RINEX VERSION / TYPE") + header_line("", "END OF HEADER");
}

// A version 3 Keplerian record of 8 lines; `sqrt_a` and `week` are the interesting fields.
std::string v3_kepler(const std::string& id, const std::string& date = "2022 06 08 10 00 00",
                      const std::string& sqrt_a = " 5.153679471970E+03", const std::string& week = " 2.213000000000E+03") {
    return id + " " + date + "-6.528543308377E-04 3.410605131648E-13 0.000000000000E+00\n" +
           "     9.600000000000E+01 3.384375000000E+01 4.106242470052E-09-2.157708626665E+00\n" +
           "     1.812353730202E-06 2.041313482914E-02 9.221956133842E-06" + sqrt_a + "\n" +
           "     2.952000000000E+05 3.594905138016E-07 2.277502707678E+00 2.756714820862E-07\n" +
           "     9.659928182326E-01 2.033437500000E+02-1.414485730254E+00-7.679605600684E-09\n" +
           "     5.857386840816E-11 1.000000000000E+00" + week + " 0.000000000000E+00\n" +
           "     2.800000000000E+00 0.000000000000E+00-1.769512891769E-08 9.600000000000E+01\n" +
           "     2.880180000000E+05 4.000000000000E+00\n";
}

// A version 3 GLONASS record of 4 lines with the given channel field.
std::string v3_glonass(const std::string& id, const std::string& channel) {
    return id + " 2022 06 08 09 45 00 5.807634443045E-05 9.094947017729E-13 2.934000000000E+05\n" +
           "    -1.158823828125E+04-5.671300888062E-01 0.000000000000E+00 0.000000000000E+00\n" +
           "    -1.108993261719E+04-2.651433944702E+00 9.313225746155E-10" + channel + "\n" +
           "     1.986426855469E+04-1.820190429688E+00-2.793967723846E-09 0.000000000000E+00\n";
}

// A version 2 GPS record with a two-digit year.
std::string v2_gps(const std::string& prn2, const std::string& yy) {
    return prn2 + " " + yy + "  4  2  0  0  0.0 1.234567890123D-04-1.000000000000D-12 0.000000000000D+00\n" +
           "    3.900000000000D+01 6.431250000000D+01 4.463043627470D-09 1.524937188780D+00\n" +
           "    3.350898623470D-06 4.913669428780D-03 1.201592385769D-05 5.153650751114D+03\n" +
           "    4.320000000000D+05-1.117587089539D-08 1.963416451920D+00 8.009374141693D-08\n" +
           "    9.513716339480D-01 1.533750000000D+02 1.058284045048D+00-8.088908031893D-09\n" +
           "   -3.057270489640D-10 1.000000000000D+00 1.316000000000D+03 0.000000000000D+00\n" +
           "    2.000000000000D+00 0.000000000000D+00-4.190951585770D-09 3.900000000000D+01\n" +
           "    4.248000000000D+05 4.000000000000D+00\n";
}

NavigationData read_ok(const std::string& text) {
    auto r = read_navigation_content(text);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? std::move(r.value()) : NavigationData{};
}

std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

const std::filesystem::path kData = TESSORA_DATA_DIR;

}  // namespace

TEST(NavField, ExponentLettersBlanksAndGarbage) {
    // 19-column fields starting at column 4 (version 3 continuation line).
    EXPECT_EQ(nav_data_field("     1.234567890123D-04", 4), 0.0001234567890123);
    EXPECT_EQ(nav_data_field("     1.234567890123d-04", 4), 0.0001234567890123);
    EXPECT_EQ(nav_data_field("    -2.500000000000E+01", 4), -25.0);
    EXPECT_EQ(nav_data_field("                       ", 4), 0.0);  // blank field
    EXPECT_EQ(nav_data_field("    1.0x", 4), 0.0);                  // not a number
    EXPECT_EQ(nav_data_field("   ", 4), 0.0);                       // line ends before the field
    EXPECT_EQ(nav_data_field("", 61), 0.0);
    // Only 19 columns belong to the field: the next field's digits are not read into it.
    EXPECT_EQ(nav_data_field("     1.000000000000E+00 2.0", 4), 1.0);
    // A cut inside a multi-byte character reads as garbage, not as a crash.
    EXPECT_EQ(nav_data_field("    \xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 5), 0.0);
}

TEST(NavReader, HeaderErrorsAndVersionDefault) {
    auto r = read_navigation_content("     3.04           N: GNSS NAV DATA    M: MIXED            RINEX VERSION / TYPE\n");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "No END OF HEADER found");
    EXPECT_FALSE(read_navigation_content("").ok());
    // An END OF HEADER label on a line shorter than 60 columns is not a header end.
    EXPECT_FALSE(read_navigation_content("END OF HEADER\n").ok());

    // No "RINEX VERSION" line: version 3 layout (the record's letter selects the map).
    const NavigationData nav = read_ok(header_line("", "END OF HEADER") + v3_kepler("E11"));
    EXPECT_EQ(nav.galileo.count("E11"), 1u);
    EXPECT_TRUE(nav.gps.empty());
    // A valid header and nothing else: an empty record.
    EXPECT_FALSE(read_ok(v3_header()).has_data());
}

TEST(NavReader, Version3RecordsOfEveryConstellation) {
    const std::string text = v3_header() + v3_kepler("G02") + v3_kepler("J01") + "\n" + v3_kepler("E11") +
                             v3_kepler("C07") + v3_glonass("R03", " 0.000000000000E+00") +
                             v3_glonass("R10", "-7.000000000000E+00") + v3_kepler("G02", "2022 06 08 12 00 00") +
                             "S20 2022 06 08 10 00 00 0.0 0.0 0.0\n";
    const NavigationData nav = read_ok(text);
    ASSERT_EQ(nav.gps.size(), 2u);
    ASSERT_EQ(nav.gps.at("G02").size(), 2u);  // both records, in file order
    EXPECT_EQ(nav.gps.at("G02")[0].epoch.hour, 10u);
    EXPECT_EQ(nav.gps.at("G02")[1].epoch.hour, 12u);
    // QZSS lives in the GPS map under its own letter.
    ASSERT_EQ(nav.gps.count("J01"), 1u);
    EXPECT_EQ(nav.gps.at("J01")[0].system, 'J');
    EXPECT_EQ(nav.gps.at("J01")[0].prn, 1u);
    EXPECT_EQ(nav.galileo.count("E11"), 1u);
    EXPECT_EQ(nav.beidou.count("C07"), 1u);
    EXPECT_EQ(nav.satellite_count(), 6u);

    const KeplerEphemeris& g = nav.gps.at("G02")[0];
    EXPECT_EQ(g.epoch, (EpochTime{2022, 6, 8, 10, 0, 0.0}));
    EXPECT_EQ(g.af0, -6.528543308377E-04);
    EXPECT_EQ(g.iode, 96.0);
    EXPECT_EQ(g.m0, -2.157708626665E+00);
    EXPECT_EQ(g.e, 2.041313482914E-02);
    EXPECT_EQ(g.sqrt_a, 5.153679471970E+03);
    EXPECT_EQ(g.toe, 295200.0);
    EXPECT_EQ(g.omega_dot, -7.679605600684E-09);
    EXPECT_EQ(g.idot, 5.857386840816E-11);
    EXPECT_EQ(g.week, 2213);

    // GLONASS: km -> m, channel 0 is stored but not listed among the channels.
    ASSERT_EQ(nav.glonass.size(), 2u);
    const GlonassEphemeris& r3 = nav.glonass.at("R03")[0];
    EXPECT_EQ(r3.frequency_channel, 0);
    EXPECT_DOUBLE_EQ(r3.x, -11588238.28125);
    EXPECT_DOUBLE_EQ(r3.vy, -2651.433944702);
    EXPECT_DOUBLE_EQ(r3.az, -2.793967723846E-06);
    EXPECT_EQ(r3.message_frame_time, 293400.0);
    EXPECT_EQ(nav.glonass_channels.count("R03"), 0u);
    ASSERT_EQ(nav.glonass_channels.count("R10"), 1u);
    EXPECT_EQ(nav.glonass_channels.at("R10"), -7);
}

TEST(NavReader, TwoDigitYearsOfVersion2) {
    const std::string text = v2_header('N') + v2_gps(" 1", "99") + v2_gps(" 2", "80") + v2_gps(" 3", "79") +
                             v2_gps("12", "05");
    const NavigationData nav = read_ok(text);
    ASSERT_EQ(nav.gps.size(), 4u);
    EXPECT_EQ(nav.gps.at("G01")[0].epoch.year, 1999);
    EXPECT_EQ(nav.gps.at("G02")[0].epoch.year, 1980);
    EXPECT_EQ(nav.gps.at("G03")[0].epoch.year, 2079);
    EXPECT_EQ(nav.gps.at("G12")[0].epoch.year, 2005);
    const KeplerEphemeris& k = nav.gps.at("G12")[0];
    EXPECT_EQ(k.system, 'G');
    EXPECT_EQ(k.epoch.month, 4u);
    EXPECT_EQ(k.epoch.day, 2u);
    EXPECT_EQ(k.af0, 1.234567890123e-04);  // D exponent on line 1
    EXPECT_EQ(k.sqrt_a, 5.153650751114e+03);
    EXPECT_EQ(k.toe, 432000.0);
    EXPECT_EQ(k.week, 1316);
}

TEST(NavReader, TruncatedRecordsAreDroppedAndLinesReexamined) {
    // Three lines of a GPS record, then a complete GLONASS record: seven lines cannot hold the
    // eight-line GPS record, so its lines are examined one at a time and the GLONASS record that
    // follows is still found.
    std::string gps = v3_kepler("G05");
    std::string first4;
    {
        std::istringstream in(gps);
        std::string l;
        for (int i = 0; i < 3 && std::getline(in, l); ++i) first4 += l + "\n";
    }
    NavigationData nav = read_ok(v3_header() + first4 + v3_glonass("R07", " 1.000000000000E+00"));
    EXPECT_TRUE(nav.gps.empty());
    EXPECT_EQ(nav.glonass.count("R07"), 1u);

    // A record cut by the end of the file (seven lines) is not stored.
    std::string seven = gps.substr(0, gps.rfind("     2.880180000000E+05"));
    nav = read_ok(v3_header() + v3_kepler("G01") + seven);
    EXPECT_EQ(nav.gps.size(), 1u);
    EXPECT_EQ(nav.gps.count("G05"), 0u);

    // GLONASS with three lines left.
    std::string r = v3_glonass("R09", " 2.0");
    nav = read_ok(v3_header() + r.substr(0, r.rfind("     1.98")));
    EXPECT_TRUE(nav.glonass.empty());
}

TEST(NavReader, SaturatingWeekAndChannel) {
    NavigationData nav = read_ok(v3_header() + v3_kepler("G01", "2022 06 08 10 00 00", " 5.153679471970E+03", " 9.900000000000E+20") +
                                 v3_kepler("G02", "2022 06 08 10 00 00", " 5.153679471970E+03", "-9.900000000000E+20") +
                                 v3_kepler("G03", "2022 06 08 10 00 00", " 5.153679471970E+03", " 2.213999999999E+03") +
                                 v3_kepler("G04", "2022 06 08 10 00 00", " 5.153679471970E+03", "-2.213999999999E+03") +
                                 v3_glonass("R01", "-6.900000000000E+00") + v3_glonass("R02", " 1.000000000000E+30"));
    EXPECT_EQ(nav.gps.at("G01")[0].week, INT_MAX);
    EXPECT_EQ(nav.gps.at("G02")[0].week, INT_MIN);
    EXPECT_EQ(nav.gps.at("G03")[0].week, 2213);   // truncation, not rounding
    EXPECT_EQ(nav.gps.at("G04")[0].week, -2213);  // toward zero
    EXPECT_EQ(nav.glonass.at("R01")[0].frequency_channel, -6);
    EXPECT_EQ(nav.glonass_channels.at("R01"), -6);
    EXPECT_EQ(nav.glonass.at("R02")[0].frequency_channel, INT_MAX);
}

TEST(NavReader, MalformedFirstLinesDropOnlyTheirRecord) {
    const std::string good = v3_kepler("G09");
    const std::string rest = good.substr(good.find('\n') + 1);
    const std::string cases[] = {
        "G10 2022 06 08 10 00\n",                       // too short for the seconds
        "G11 2022 13 08 1x 00 00 1.0\n",                // letter in the hour
        "G\xC3\xA9 2022 06 08 10 00 00 1.0\n",           // two-byte character over the number
        "G\xE2\x82\xAC 2022 06 08 10 00 00 1.0\n",       // three-byte character over the number
        "G13 \xF0\x9F\x98\x80 06 08 10 00 00 1.0\n",     // four-byte character over the year
        "G\n",
    };
    for (const std::string& first : cases) {
        const NavigationData nav = read_ok(v3_header() + first + rest + good);
        EXPECT_EQ(nav.gps.size(), 1u) << first;
        EXPECT_EQ(nav.gps.count("G09"), 1u) << first;
    }
    // Every cut of a record full of multi-byte characters reads without failing.
    std::string wide = good;
    for (std::size_t i = 3; i < wide.size(); i += 7) wide.insert(i, "\xE2\x82\xAC");
    for (std::size_t cut = 0; cut <= wide.size(); ++cut) {
        auto r = read_navigation_content(v3_header() + wide.substr(0, cut));
        ASSERT_TRUE(r.ok());
        EXPECT_LE(r.value().gps.size(), 1u);
    }
    // Short continuation lines keep the record; the missing fields read as 0.0.
    const std::string shortened = v3_header() + "G14 2022 06 08 10 00 00\n x\n x\n x\n x\n x\n x\n x\n";
    const NavigationData nav = read_ok(shortened);
    ASSERT_EQ(nav.gps.count("G14"), 1u);
    EXPECT_EQ(nav.gps.at("G14")[0].af0, 0.0);
    EXPECT_EQ(nav.gps.at("G14")[0].sqrt_a, 0.0);
}

TEST(NavReader, Version2GlonassAndSbasFiles) {
    // Four-line version 2 GLONASS records, columns of version 2.
    const std::string glo =
        "22 18  7 28 23 45  0.0-5.727540701628D-05-0.000000000000D+00 8.637000000000D+04\n"
        "    2.253991210938D+03 2.744255065918D-01-1.862645149231D-09 0.000000000000D+00\n"
        "   -2.294026708984D+04-1.501589775085D+00 1.862645149231D-09-3.000000000000D+00\n"
        "    1.105810156250D+04-3.158493041992D+00-0.000000000000D+00 0.000000000000D+00\n"
        " 8 18  7 28 23 45  0.0 2.206861972809D-05 0.000000000000D+00 8.637000000000D+04\n"
        "   -9.962884277344D+03 1.054510116577D+00-3.725290298462D-09 0.000000000000D+00\n"
        "   -1.985660742188D+04 1.358061790466D+00 0.000000000000D+00 6.000000000000D+00\n"
        "    1.259391503906D+04 2.988273620605D+00 0.000000000000D+00 0.000000000000D+00\n";
    NavigationData nav = read_ok(v2_header('G') + glo);
    EXPECT_TRUE(nav.gps.empty());
    ASSERT_EQ(nav.glonass.size(), 2u);
    const GlonassEphemeris& r22 = nav.glonass.at("R22")[0];
    EXPECT_EQ(r22.slot, 22u);
    EXPECT_EQ(r22.epoch, (EpochTime{2018, 7, 28, 23, 45, 0.0}));
    EXPECT_EQ(r22.clock_bias, -5.727540701628e-05);
    EXPECT_EQ(r22.message_frame_time, 86370.0);
    EXPECT_DOUBLE_EQ(r22.x, 2253991.210938);
    EXPECT_DOUBLE_EQ(r22.vx, 274.4255065918);
    EXPECT_DOUBLE_EQ(r22.y, -22940267.08984);
    EXPECT_DOUBLE_EQ(r22.z, 11058101.5625);
    EXPECT_DOUBLE_EQ(r22.vz, -3158.493041992);
    EXPECT_EQ(nav.glonass_channels.at("R22"), -3);
    EXPECT_EQ(nav.glonass_channels.at("R08"), 6);
    EXPECT_EQ(nav.glonass.count("R08"), 1u);

    // SBAS records (also four lines) are not kept, and they do not shift the reading.
    nav = read_ok(v2_header('H') + glo);
    EXPECT_FALSE(nav.has_data());

    // Other version 2 types keep the GPS layout.
    nav = read_ok(v2_header('E', "2.12") + v2_gps(" 5", "18"));
    EXPECT_EQ(nav.gps.count("G05"), 1u);
}

TEST(NavReader, Version4KeepsOnlyLegacyEphemerides) {
    const std::string lnav = v3_kepler("G02");
    const std::string text =
        v3_header("4.00") + "> EPH G02 LNAV\n" + lnav +
        // A nine-line CNAV record of another satellite: not kept.
        "> EPH G05 CNAV\n" + v3_kepler("G05") + "     1.0 2.0\n" +
        "> STO G26 LNAV\n    2022 06 10 19 56 48 GPUT                                  UTC(USNO)\n"
        "     2.952840000000E+05 9.313225746155E-10 2.664535259100E-15 0.000000000000E+00\n"
        "> ION G29 LNAV\n    2022 06 08 09 59 48 1.024454832077E-08 2.235174179077E-08-5.960464477539E-08\n"
        "> EOP G07 LNAV\n    2022 06 08 09 59 48 1.0 2.0 3.0\n" +
        // GLONASS FDMA records have a fifth line (status flags), which is skipped.
        "> EPH R03 FDMA\n" + v3_glonass("R03", " 5.000000000000E+00") +
        "     1.830000000000E+02-2.793967723846E-09 3.000000000000E+00 0.000000000000E+00\n" +
        "> EPH E01 INAV\n" + v3_kepler("E01") + "> EPH E01 FNAV\n" + v3_kepler("E01", "2022 06 08 10 10 00") +
        "> EPH C06 D1\n" + v3_kepler("C06") + "> EPH C01 D2\n" + v3_kepler("C01") + "> EPH C20 CNV1\n" +
        v3_kepler("C20") + "> EPH J03 LNAV\n" + v3_kepler("J03") + "> EPH I09 LNAV\n" + v3_kepler("I09") +
        "> EPH S23 SBAS\nS23 2022 06 08 10 00 00 0.0 0.0 0.0\n     1.0\n     1.0\n     1.0\n" +
        // A record cut short by the next marker is dropped; the next record is still read.
        "> EPH G07 LNAV\n" + lnav.substr(0, lnav.find("     9.65")) + "> EPH G08 LNAV\n" + v3_kepler("G08") +
        // ... and one cut by the end of the file.
        "> EPH G09 LNAV\n" + lnav.substr(0, lnav.find("     2.88"));
    const NavigationData nav = read_ok(text);
    EXPECT_EQ(nav.gps.size(), 3u);  // G02, J03, G08
    EXPECT_EQ(nav.gps.count("G02"), 1u);
    EXPECT_EQ(nav.gps.count("J03"), 1u);
    EXPECT_EQ(nav.gps.count("G08"), 1u);
    EXPECT_EQ(nav.gps.count("G05"), 0u);
    EXPECT_EQ(nav.gps.count("G07"), 0u);
    EXPECT_EQ(nav.gps.count("G09"), 0u);
    EXPECT_EQ(nav.gps.at("G02")[0].sqrt_a, 5.153679471970E+03);
    ASSERT_EQ(nav.galileo.count("E01"), 1u);
    EXPECT_EQ(nav.galileo.at("E01").size(), 2u);
    EXPECT_EQ(nav.beidou.size(), 2u);
    EXPECT_EQ(nav.beidou.count("C20"), 0u);
    ASSERT_EQ(nav.glonass.size(), 1u);
    EXPECT_EQ(nav.glonass.at("R03").size(), 1u);
    EXPECT_EQ(nav.glonass_channels.at("R03"), 5);
}

// Distinct satellites of the kept "> EPH" messages, counted by a plain scan of the file text.
TEST(NavReaderRealFiles, Version4CountsMatchTheMarkers) {
    for (const char* rel : {"rinex/NAV/V4/KMS300DNK_R_20221591000_01H_MN.rnx", "rinex/NAV/V4/BRD400DLR_S_20230710000_01D_MN.rnx"}) {
        const auto path = kData / rel;
        if (!std::filesystem::exists(path)) GTEST_SKIP() << "real data not available";
        const std::string text = slurp(path);
        std::set<std::string> g, e, c, r;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string gt, eph, sat, type;
            if (!(f >> gt >> eph >> sat >> type) || gt != ">" || eph != "EPH") continue;
            if ((sat[0] == 'G' || sat[0] == 'J') && type == "LNAV") g.insert(sat);
            if (sat[0] == 'E' && (type == "INAV" || type == "FNAV")) e.insert(sat);
            if (sat[0] == 'C' && (type == "D1" || type == "D2")) c.insert(sat);
            if (sat[0] == 'R' && type == "FDMA") r.insert(sat);
        }
        const NavigationData nav = read_ok(text);
        EXPECT_EQ(nav.gps.size(), g.size()) << rel;
        EXPECT_EQ(nav.galileo.size(), e.size()) << rel;
        EXPECT_EQ(nav.beidou.size(), c.size()) << rel;
        EXPECT_EQ(nav.glonass.size(), r.size()) << rel;
        EXPECT_GT(nav.satellite_count(), 50u);
    }
}
