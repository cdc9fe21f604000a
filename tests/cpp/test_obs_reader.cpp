// RINEX observation reader: header records, both data layouts and their corner cases.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "rinex/obs_reader.hpp"
#include "rinex/obs_summary.hpp"

using namespace tessora;

namespace {

// A header line: content padded to 60 columns, then the label.
std::string hl(const std::string& content, const std::string& label) {
    std::string s = content;
    s.resize(60, ' ');
    return s + label + "\n";
}

// A RINEX 3 observation field: value right-aligned in 14 columns, then LLI and SSI.
std::string f3(const std::string& value, char lli = ' ', char ssi = ' ') {
    std::string s(14 - value.size(), ' ');
    return s + value + lli + ssi;
}

// A RINEX 2 observation field (16 columns, indicators blank).
std::string f2(const std::string& value) { return f3(value); }

RinexObsData read(const std::string& text, const std::string& name = "test.obs") {
    auto r = read_rinex_obs(text, name);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? std::move(r.value()) : RinexObsData{};
}

std::vector<std::string> codes_of(const RinexObsData& r, char sys) {
    std::vector<std::string> out;
    if (auto* t = r.types_of(sys))
        for (auto c : t->codes) out.push_back(r.code_names[c]);
    return out;
}

// Observations of one satellite in one epoch as code -> value.
std::map<std::string, Observation> sat_obs(const RinexObsData& r, std::size_t epoch, const std::string& sat) {
    std::map<std::string, Observation> out;
    const Epoch& e = r.epochs.at(epoch);
    for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s)
        if (r.sat_name(*s) == sat)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                out[std::string(r.code_name(i))] = r.observation(i);
    return out;
}

std::vector<std::string> sats_of(const RinexObsData& r, std::size_t epoch) {
    std::vector<std::string> out;
    const Epoch& e = r.epochs.at(epoch);
    for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s) out.emplace_back(r.sat_name(*s));
    return out;
}

const std::string kV3Header = hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") +
                              hl("G    4 C1C L1C S1C S2W", "SYS / # / OBS TYPES") +
                              hl("", "END OF HEADER");

}  // namespace

TEST(ObsHeader, RecordsAndDefaults) {
    const std::string text =
        hl("     3.05           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE") +
        hl("ESBC00DNK", "MARKER NAME") + hl("3047937             SEPT POLARX5        5.2.0", "REC # / TYPE / VERS") +
        hl("CR5200327016        ASH701945E_M    SCIS", "ANT # / TYPE") +
        hl("  3582105.2910   532589.7313  5232754.8054", "APPROX POSITION XYZ") + hl("    30.000", "INTERVAL") +
        hl("C   12 C2I C6I C7I D2I D6I D7I L2I L6I L7I S2I S6I S7I", "SYS / # / OBS TYPES") +
        hl("E   20 C1C C5Q C6C C7Q C8Q D1C D5Q D6C D7Q D8Q L1C L5Q L6C", "SYS / # / OBS TYPES") +
        hl("       L7Q L8Q S1C S5Q S6C S7Q S8Q", "SYS / # / OBS TYPES") +
        hl(" 23 R01  1 R02 -4 R+3  5 R04 +6 X05  1 R06", "GLONASS SLOT / FRQ #") +
        hl("short labels are ignored", "COMMENT") + "INTERVAL 1.0\n" + hl("", "END OF HEADER   ");
    auto r = read(text);
    EXPECT_EQ(r.version, 3.05);
    EXPECT_EQ(r.marker_name, "ESBC00DNK");
    EXPECT_EQ(r.receiver_type, "SEPT POLARX5");
    EXPECT_EQ(r.receiver_firmware, "5.2.0");
    EXPECT_EQ(r.antenna_type, "ASH701945E_M    SCIS");
    ASSERT_TRUE(r.approx_position);
    EXPECT_EQ((*r.approx_position)[2], 5232754.8054);
    EXPECT_EQ(r.interval, 30.0);
    EXPECT_EQ(r.time_system, "GPS");  // a mixed file without TIME OF FIRST OBS: GPS time
    EXPECT_EQ(codes_of(r, 'C').size(), 12u);
    // The Galileo record continues on a second line; both lines make one list in order.
    auto e = codes_of(r, 'E');
    ASSERT_EQ(e.size(), 20u);
    EXPECT_EQ(e[12], "L6C");
    EXPECT_EQ(e[13], "L7Q");
    EXPECT_EQ(e[19], "S8Q");
    EXPECT_EQ(r.glonass_channel("1"), 1);
    EXPECT_EQ(r.glonass_channel("2"), -4);
    EXPECT_EQ(r.glonass_channel("3"), 5);
    EXPECT_EQ(r.glonass_channel("4"), 6);
    EXPECT_FALSE(r.glonass_channel("5"));
    EXPECT_TRUE(r.epochs.empty());
}

TEST(ObsHeader, MissingPiecesTakeDefaults) {
    auto r = read(hl("", "END OF HEADER"), "unknown.obs");
    EXPECT_EQ(r.version, 0.0);
    EXPECT_EQ(r.marker_name, "unknown.obs");
    EXPECT_EQ(r.receiver_type, "");
    EXPECT_FALSE(r.approx_position);
    // A blank marker name also falls back to the file name; two numbers are not a position.
    auto r2 = read(hl("      ", "MARKER NAME") + hl("  1.0  2.0  x", "APPROX POSITION XYZ") + hl("", "END OF HEADER"),
                   "site.obs");
    EXPECT_EQ(r2.marker_name, "site.obs");
    EXPECT_FALSE(r2.approx_position);
    // The time system: TIME OF FIRST OBS (columns 49-51), else that of a single-system file.
    const auto first_obs = hl("  2024     3     5     7     0    0.0000000     GAL", "TIME OF FIRST OBS");
    EXPECT_EQ(read(first_obs + hl("", "END OF HEADER")).time_system, "GAL");
    EXPECT_EQ(read(hl("     3.04           OBSERVATION DATA    R", "RINEX VERSION / TYPE") + hl("", "END OF HEADER"))
                  .time_system,
              "GLO");
    EXPECT_EQ(r2.file_name, "site.obs");
}

TEST(ObsHeader, EndOfHeaderIsRequired) {
    auto r = read_rinex_obs(hl("     3.04", "RINEX VERSION / TYPE") + "END OF HEADER\n", "x");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "No END OF HEADER found");
    EXPECT_FALSE(read_rinex_obs("", "x").ok());
}

TEST(ObsV3, FieldsIndicatorsAndBlanks) {
    const std::string text = kV3Header + "> 2024 03 05 07 04  9.5000000  0  2\n" + "G05" + f3("20000000.125", '1', '7') +
                             f3("100000000.000") + f3("45.000") + f3("0.000") + "\n" + "G07" + f3("21000000.000") +
                             f3("") + f3("38.250", ' ', '6') + "\n";
    auto r = read(text);
    ASSERT_EQ(r.epochs.size(), 1u);
    EXPECT_EQ(r.epochs[0].time, (EpochTime{2024, 3, 5, 7, 4, 9.5}));
    auto g5 = sat_obs(r, 0, "G05");
    ASSERT_EQ(g5.size(), 3u);  // zero value not stored
    EXPECT_EQ(g5["C1C"].value, 20000000.125);
    EXPECT_EQ(g5["C1C"].lli, 1);
    EXPECT_EQ(g5["C1C"].ssi, 7);
    EXPECT_FALSE(g5["S1C"].lli);
    EXPECT_FALSE(g5["S1C"].ssi);
    EXPECT_FALSE(g5.count("S2W"));
    // A line that ends right after a value has no indicators; trailing blank fields are absent.
    auto g7 = sat_obs(r, 0, "G07");
    ASSERT_EQ(g7.size(), 2u);
    EXPECT_EQ(g7["S1C"].value, 38.25);
    EXPECT_FALSE(g7["S1C"].lli);
    EXPECT_EQ(g7["S1C"].ssi, 6);
    // Cut right after the value: both indicators absent.
    auto r2 = read(kV3Header + "> 2024 03 05 07 04  9.5000000  0  1\nG05" + f3("1.5").substr(0, 14) + "\n");
    auto o = sat_obs(r2, 0, "G05");
    ASSERT_EQ(o.size(), 1u);
    EXPECT_FALSE(o["C1C"].lli);
}

TEST(ObsV3, SatelliteCountsAndEarlyEpochLines) {
    // N = 3 but only two satellite lines before the next epoch line.
    const std::string text = kV3Header + "> 2024 03 05 07 04  0.0000000  0  3\n" + "G01" + f3("1.0") + "\n" + "G02" +
                             f3("2.0") + "\n" + "> 2024 03 05 07 04 30.0000000  0  1\n" + "G03" + f3("3.0") + "\n";
    auto r = read(text);
    ASSERT_EQ(r.epochs.size(), 2u);
    EXPECT_EQ(sats_of(r, 0), (std::vector<std::string>{"G01", "G02"}));
    EXPECT_EQ(sats_of(r, 1), (std::vector<std::string>{"G03"}));
}

TEST(ObsV3, EmptySatellitesAndEpochsAreDropped) {
    const std::string text = kV3Header + "> 2024 03 05 07 04  0.0000000  0  2\n" + "G01" + f3("0.000") + "\n" +
                             "G02" + f3("") + f3("") + "\n" + "> 2024 03 05 07 04 30.0000000  0  2\n" + "G01" +
                             f3("0.000") + "\n" + "G02" + f3("5.0") + "\n" + ">\n> 2024 x 05 07 04 30.0 0 1\nG01" +
                             f3("9.0") + "\n";
    auto r = read(text);
    ASSERT_EQ(r.epochs.size(), 1u);
    EXPECT_EQ(sats_of(r, 0), (std::vector<std::string>{"G02"}));
}

TEST(ObsV3, RepeatsReplaceEarlierValues) {
    // A code repeated in the header list, and a satellite repeated within an epoch.
    const std::string text = hl("     3.04", "RINEX VERSION / TYPE") + hl("G    3 S1C C1C S1C", "SYS / # / OBS TYPES") +
                             hl("", "END OF HEADER") + "> 2024 03 05 07 04  0.0000000  0  3\n" + "G01" + f3("40.0") +
                             f3("2.0") + f3("41.0") + "\n" + "G02" + f3("30.0") + "\n" + "G01" + f3("") + f3("7.0") +
                             "\n";
    auto r = read(text);
    ASSERT_EQ(r.epochs.size(), 1u);
    EXPECT_EQ(sats_of(r, 0).size(), 2u);
    auto g1 = sat_obs(r, 0, "G01");
    ASSERT_EQ(g1.size(), 1u);  // the second line replaced the first
    EXPECT_EQ(g1["C1C"].value, 7.0);
    auto r2 = read(hl("     3.04", "RINEX VERSION / TYPE") + hl("G    3 S1C C1C S1C", "SYS / # / OBS TYPES") +
                   hl("", "END OF HEADER") + "> 2024 03 05 07 04  0.0000000  0  1\nG01" + f3("40.0") + f3("2.0") +
                   f3("41.0") + "\n");
    auto g = sat_obs(r2, 0, "G01");
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g["S1C"].value, 41.0);
    const Epoch& e = r2.epochs[0];
    EXPECT_EQ(r2.sats_begin(e)->obs_count, 2u);
}

TEST(ObsV3, SystemsWithoutTypesAndPaddedIdentifiers) {
    const std::string text = kV3Header + "> 2024 03 05 07 04  0.0000000  0  3\n" + "R01" + f3("1.0") + "\n" + "G 5" +
                             f3("2.0") + "\n" + "   " + f3("3.0") + "\n";
    auto r = read(text);
    ASSERT_EQ(r.epochs.size(), 1u);
    // No R list: R01 has no observations. "G 5" is the padded form of G05; a blank identifier
    // takes the GPS list and is kept as an empty identifier.
    EXPECT_EQ(sats_of(r, 0), (std::vector<std::string>{"G05", ""}));
    EXPECT_EQ(r.distinct_satellites().size(), 2u);
    EXPECT_EQ(r.satellites_by_system().size(), 1u);
}

TEST(ObsV2, TypesTranslatedAndContinuationLines) {
    std::string text = hl("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE") +
                       hl("    12    C1    L1    L2    P2    S1    S2    D1    D2    P5", "# / TYPES OF OBSERV") +
                       hl("          C5    L5    S5", "# / TYPES OF OBSERV") + hl("", "END OF HEADER");
    // 15 satellites: 12 on the epoch line, 3 on the continuation line at column 32.
    text += " 79  1  2  3  4  5.5000000  0 15G01G02G03G04G05G06G07G08G09G10G11 12\n";
    text += "                                R13 14E15\n";
    for (int s = 0; s < 15; ++s) {
        text += f2("2000000" + std::to_string(s) + ".5") + f2("") + f2("") + f2("") + f2("4" + std::to_string(s % 10)) + "\n";
        text += f2("") + f2("") + f2("") + f2("") + f2("") + "\n";
        text += f2("") + f2("3" + std::to_string(s % 10) + ".25") + f2("99.0") + "\n";  // third field: no code
    }
    auto r = read(text);
    const std::vector<std::string> expect = {"C1C", "L1C", "L2C", "C2P", "S1C", "S2C", "D1", "D2", "P5", "C5Q", "L5Q", "S5Q"};
    for (char sys : {'G', 'R', 'E', 'C'}) EXPECT_EQ(codes_of(r, sys), expect) << sys;
    EXPECT_FALSE(r.types_of('J'));
    ASSERT_EQ(r.epochs.size(), 1u);
    EXPECT_EQ(r.epochs[0].time, (EpochTime{2079, 1, 2, 3, 4, 5.5}));
    auto sats = sats_of(r, 0);
    ASSERT_EQ(sats.size(), 15u);
    EXPECT_EQ(sats[11], "G12");  // number without letter
    EXPECT_EQ(sats[12], "R13");
    EXPECT_EQ(sats[13], "G14");
    EXPECT_EQ(sats[14], "E15");
    auto o = sat_obs(r, 0, "R13");
    ASSERT_EQ(o.size(), 3u);
    EXPECT_EQ(o["C1C"].value, 200000012.5);
    EXPECT_EQ(o["S1C"].value, 42.0);
    EXPECT_EQ(o["S5Q"].value, 32.25);
    EXPECT_FALSE(o["S1C"].lli);
}

TEST(ObsV2, YearsEpochLinesAndBlankSystems) {
    const std::string head = hl("     2.11", "RINEX VERSION / TYPE") + hl("     2    C1    S1", "# / TYPES OF OBSERV") +
                             hl("", "END OF HEADER");
    auto one = [&](const std::string& epoch_line) {
        return head + epoch_line + "\n" + f2("1.0") + f2("40.0") + "\n";
    };
    EXPECT_EQ(read(one(" 80  1  1  0  0  0.0000000  0  1G01")).epochs.at(0).time.year, 1980);
    EXPECT_EQ(read(one(" 98  1  1  0  0  0.0000000  0  1G01")).epochs.at(0).time.year, 1998);
    // A blank system letter and a padded letter form both read as GPS / letter + two digits.
    auto r = read(one(" 20  1  1  0  0  0.0000000  0  1  7"));
    EXPECT_EQ(sats_of(r, 0), (std::vector<std::string>{"G07"}));
    EXPECT_EQ(sats_of(read(one(" 20  1  1  0  0  0.0000000  0  1R07")), 0), (std::vector<std::string>{"R07"}));
    EXPECT_EQ(sats_of(read(one(" 20  1  1  0  0  0.0000000  0  1R 7")), 0), (std::vector<std::string>{"R07"}));
    // Zero satellites, an unparsable date, or a line of 26 to 31 bytes: skipped without failing.
    EXPECT_TRUE(read(one(" 20  1  1  0  0  0.0000000  0  0")).epochs.empty());
    EXPECT_TRUE(read(head + " 20  1  1  0  0  0.0000000 \n").epochs.empty());
    EXPECT_TRUE(read(one(" 2x  1  1  0  0  0.0000000  0  1G01")).epochs.empty());
    // Flag parsed; version 0.0 uses this layout too.
    auto f = read(one(" 20  1  1  0  0  0.0000000  4  1G01"));
    EXPECT_EQ(f.epochs.at(0).flag, 4);
    auto v0 = read(hl("     2    C1    S1", "# / TYPES OF OBSERV") + hl("", "END OF HEADER") +
                   " 20  1  1  0  0  0.0000000  0  1G01\n" + f2("1.0") + f2("40.0") + "\n");
    EXPECT_EQ(v0.version, 0.0);
    EXPECT_EQ(v0.epochs.size(), 1u);
}

TEST(ObsRobustness, CutsInsideCharactersAndInvalidBytes) {
    // A multi-byte character across the identifier columns and invalid bytes in values.
    const std::string text = kV3Header + "> 2024 03 05 07 04  0.0000000  0  4\n" + "G\xC3\xA9" + f3("1.0") + "\n" + "GX\xC3\xA9" + f3("1.0") + "\n" +
                             "G01" + f3("4\xFF" "5.0") + f3("2.0") + "\n" + "\xE2\x82" + f3("9.0") + "\n";
    auto r = read(text);
    ASSERT_EQ(r.epochs.size(), 1u);
    // Identifiers are cut at character boundaries: never a partial sequence.
    EXPECT_EQ(sats_of(r, 0), (std::vector<std::string>{"G\xC3\xA9", "GX", "G01"}));
    auto g1 = sat_obs(r, 0, "G01");
    EXPECT_FALSE(g1.count("C1C"));  // "4\uFFFD5.0" is not a number
    EXPECT_EQ(g1["L1C"].value, 2.0);
}

TEST(ObsSummaries, SnrStatsAndDebugInfo) {
    const std::string head = hl("     3.04", "RINEX VERSION / TYPE") + hl("G    2 C1C S1C", "SYS / # / OBS TYPES") +
                             hl("J    1 S1C", "SYS / # / OBS TYPES") + hl("E    1 C1C", "SYS / # / OBS TYPES") +
                             hl("", "END OF HEADER");
    std::string text = head;
    const char* values[] = {"45.0", "0.0", "120.0", "40.0"};
    for (int i = 0; i < 4; ++i)
        text += "> 2024 03 05 07 04 " + std::to_string(i * 30) + ".0  0  2\nG01" + f3("1.0") + f3(values[i]) +
                "\nG02" + f3("2.0") + f3("100.0") + "\n";
    auto r = read(text);
    auto stats = snr_stats_by_satellite(r);
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_EQ(stats[0].satellite, "G01");
    EXPECT_EQ(stats[0].obs_count, 3.0);
    EXPECT_EQ(stats[0].valid_count, 2.0);
    EXPECT_EQ(stats[0].mean_snr, 42.5);
    EXPECT_EQ(stats[1].valid_count, 0.0);
    EXPECT_EQ(stats[1].mean_snr, 0.0);
    std::map<std::string, std::string> info;
    for (auto& [k, v] : debug_info(r)) info[k] = v;
    EXPECT_EQ(info["version"], "3.04");
    EXPECT_EQ(info["num_epochs"], "4");
    EXPECT_EQ(info["G_sat_list"], "G01,G02");
    EXPECT_EQ(info["G_snr_types"], "S1C");
    EXPECT_EQ(info["E_snr_types"], "");
    EXPECT_EQ(info["J_obs_types_count"], "1");
    EXPECT_FALSE(info.count("J_satellites"));
    auto avail = snr_availability(r);
    ASSERT_EQ(avail.size(), 3u);
    EXPECT_EQ(avail[0], (std::pair<std::string, bool>{"E", false}));
    EXPECT_EQ(obs_repr(r), "RinexObsData(version=3.04, epochs=4, satellites=2)");
}

TEST(ObsV3, TwoCharacterCodesKeepTheColumnsAligned) {
    // Some receivers announce a two-character channel column first; the codes after it must
    // still read their own fields.
    const std::string text = hl("     3.04", "RINEX VERSION / TYPE") + hl("C    5 X1  C2I L2I D2I S2I", "SYS / # / OBS TYPES") +
                             hl("", "END OF HEADER") + "> 2024 06 24 08 20 00.0000000  0  1\nC01" + f3("9.000") +
                             f3("36689218.704", '7') + f3("191050392.041", '0', '7') + f3("305.142", '7') + f3("43.469") +
                             "\n";
    auto r = read(text);
    EXPECT_EQ(codes_of(r, 'C'), (std::vector<std::string>{"X1", "C2I", "L2I", "D2I", "S2I"}));
    auto o = sat_obs(r, 0, "C01");
    EXPECT_EQ(o["S2I"].value, 43.469);
    EXPECT_EQ(o["D2I"].value, 305.142);
}
