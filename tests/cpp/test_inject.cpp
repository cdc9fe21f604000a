// Jammer and spoofer injection on observation records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "interference/inject.hpp"
#include "injection_cases.hpp"
#include "rinex/obs_reader.hpp"

using namespace tessora;

namespace {

std::string hl(const std::string& content, const std::string& label) {
    std::string s = content;
    s.resize(60, ' ');
    return s + label + "\n";
}

std::string field(double v, char ssi = ' ') {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%14.3f %c", v, ssi);
    return buf;
}

// One satellite of one epoch: its id and the CN0 of its two signals (GPS S1C/S2W, Galileo
// S1C/S5Q); 0 leaves the whole signal blank.
struct Sat {
    std::string id;
    double s1, s2;
};

// A RINEX 3 record of epochs 30 s apart. Each signal has code, phase and CN0 (with an SSI); GPS's
// second signal is `gps2` (frequency digit and attribute).
RinexObsData record(const std::vector<std::vector<Sat>>& epochs, const std::string& gps2 = "2W") {
    const std::string g2 = " C" + gps2 + " L" + gps2 + " S" + gps2;
    std::string text = hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") +
                       hl("SITE", "MARKER NAME") + hl("G    6 C1C L1C S1C" + g2, "SYS / # / OBS TYPES") +
                       hl("E    6 C1C L1C S1C C5Q L5Q S5Q", "SYS / # / OBS TYPES") + hl("", "END OF HEADER");
    for (std::size_t k = 0; k < epochs.size(); ++k) {
        char line[64];
        std::snprintf(line, sizeof line, "> 2024 03 05 %02zu %02zu %2zu.0000000  0 %2zu\n", 7 + k / 120, k / 2 % 60,
                      k * 30 % 60, epochs[k].size());
        text += line;
        for (const Sat& s : epochs[k]) {
            text += s.id;
            for (double cn0 : {s.s1, s.s2}) {
                if (cn0 == 0.0) text += std::string(48, ' ');
                else text += field(2.1e7 + cn0) + field(1.1e8 + cn0) + field(cn0, '6');
            }
            text += "\n";
        }
    }
    auto r = read_rinex_obs(text, "inject.obs");
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r.value()) : RinexObsData{};
}

// Observation (epoch index, satellite, code) -> value.
using Values = std::map<std::tuple<std::size_t, std::string, std::string>, double>;
Values values_of(const RinexObsData& r) {
    Values out;
    for (std::size_t e = 0; e < r.epochs.size(); ++e)
        for (auto* s = r.sats_begin(r.epochs[e]); s != r.sats_end(r.epochs[e]); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                out[{e, std::string(r.sat_name(*s)), std::string(r.code_name(i))}] = r.obs_values[i];
    return out;
}

// Ranges tile the flat arrays in order, no satellite is empty, and the header tables are the input's.
void expect_consistent(const RinexObsData& r, const RinexObsData& in) {
    std::uint32_t next_sat = 0, next_obs = 0;
    for (const Epoch& e : r.epochs) {
        EXPECT_EQ(e.sat_begin, next_sat);
        next_sat += e.sat_count;
        for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s) {
            EXPECT_EQ(s->obs_begin, next_obs);
            EXPECT_GT(s->obs_count, 0u);
            next_obs += s->obs_count;
        }
    }
    EXPECT_EQ(next_sat, r.sat_entries.size());
    EXPECT_EQ(next_obs, r.obs_values.size());
    EXPECT_EQ(r.obs_codes.size(), r.obs_values.size());
    EXPECT_EQ(r.obs_indicators.size(), r.obs_values.size());
    EXPECT_EQ(r.code_names, in.code_names);
    EXPECT_EQ(r.satellite_names, in.satellite_names);
    EXPECT_EQ(r.marker_name, in.marker_name);
    EXPECT_EQ(r.version, in.version);
}

using cases::jammer;

InjectionOptions threshold(double t) { return {t, 0}; }

// Four epochs of G01, G02 and E11 with distinct CN0 values.
RinexObsData four_epochs() {
    std::vector<std::vector<Sat>> ep;
    for (int k = 0; k < 4; ++k)
        ep.push_back({{"G01", 45.0 + k, 40.0 + k}, {"G02", 38.0 + k, 33.0}, {"E11", 47.0, 44.0 - k}});
    return record(ep);
}

}  // namespace

TEST(InjectJammer, PlateauDropsAffectedBandsOnly) {
    const RinexObsData in = four_epochs();
    const RinexObsData out = inject_interference(in, {jammer(30.0, 90.0, 5.0, {Band::L1})}, threshold(0.0));
    expect_consistent(out, in);
    const Values a = values_of(in), b = values_of(out);
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [key, v] : a) {
        const auto& [epoch, sat, code] = key;
        const bool hit = code == "S1C" && (epoch == 1 || epoch == 2);
        EXPECT_DOUBLE_EQ(b.at(key), hit ? v - 5.0 : v) << epoch << " " << sat << " " << code;
    }
    // Indicators travel with their values.
    EXPECT_EQ(std::vector<std::uint8_t>(out.obs_indicators.begin(), out.obs_indicators.end()),
              std::vector<std::uint8_t>(in.obs_indicators.begin(), in.obs_indicators.end()));
}

TEST(InjectJammer, LossRemovesTrackingChannelThenEmptySatellitesButKeepsEpochs) {
    const RinexObsData in = record({{{"G01", 45.0, 38.0}, {"E11", 38.0, 37.0}},
                                    {{"G02", 36.0, 37.0}},
                                    {{"G01", 45.0, 44.0}, {"G02", 36.0, 0.0}}});
    // 6 dB on every band from 30 s on, threshold 35 dB-Hz.
    const RinexObsData out = inject_interference(in, {jammer(30.0, 1e9, 6.0)}, threshold(35.0));
    expect_consistent(out, in);
    ASSERT_EQ(out.epochs.size(), 3u);  // epoch 1 (G02 only, both signals lost) stays, empty
    EXPECT_EQ(out.epochs[1].sat_count, 0u);
    EXPECT_EQ(out.epochs[2].time, in.epochs[2].time);
    // Epoch 0 is before the window: its 12 observations are untouched. Of epoch 2, G01 keeps
    // both signals, lowered; G02 loses L1 (and had no L2), so it is gone.
    const Values v = values_of(out);
    EXPECT_EQ(v.size(), 18u);
    for (const auto& [key, value] : values_of(in))
        if (std::get<0>(key) == 0) {
            EXPECT_EQ(v.at(key), value);
        }
    ASSERT_EQ(out.epochs[2].sat_count, 1u);
    EXPECT_DOUBLE_EQ(v.at({2, "G01", "S1C"}), 39.0);
    EXPECT_DOUBLE_EQ(v.at({2, "G01", "S2W"}), 38.0);
    EXPECT_DOUBLE_EQ(v.at({2, "G01", "C2W"}), 2.1e7 + 44.0);

    // Only the lost signal's channel goes: an L1-only drop that takes G02's S1C keeps its L2.
    const RinexObsData l1 = inject_interference(in, {jammer(30.0, 60.0, 6.0, {Band::L1})}, threshold(35.0));
    expect_consistent(l1, in);
    const Values w = values_of(l1);
    for (const char* code : {"C1C", "L1C", "S1C"}) EXPECT_EQ(w.count({1, "G02", code}), 0u) << code;
    for (const char* code : {"C2W", "L2W", "S2W"}) EXPECT_EQ(w.count({1, "G02", code}), 1u) << code;

    // The tracking attribute tells the channels of one frequency apart: S1C lost, S1W kept.
    const RinexObsData l1w = record({{{"G01", 36.0, 45.0}}}, "1W");
    const Values x = values_of(inject_interference(l1w, {jammer(0.0, 30.0, 6.0, {Band::L1})}, threshold(35.0)));
    EXPECT_EQ(x.size(), 3u);
    EXPECT_DOUBLE_EQ(x.at({0, "G01", "S1W"}), 39.0);
    EXPECT_EQ(x.count({0, "G01", "C1W"}) + x.count({0, "G01", "L1W"}), 2u);
}

TEST(InjectJammer, DefaultThresholdIsPerCodeAndNearItsWeakestValue) {
    // 201 values per code, falling by 0.2 dB an epoch: the 0.5th percentile is the second
    // weakest value, 40.2 dB-Hz for GPS S1C and 50.2 for Galileo S1C. A 0.1 dB drop over the
    // last three epochs loses the two weakest of each code, not the third.
    std::vector<std::vector<Sat>> ep;
    for (int k = 0; k <= 200; ++k) ep.push_back({{"G01", 80.0 - 0.2 * k, 60.0}, {"E11", 90.0 - 0.2 * k, 60.0}});
    const RinexObsData in = record(ep);
    const RinexObsData out = inject_interference(in, {jammer(198 * 30.0, 1e9, 0.1, {Band::L1})}, {});
    expect_consistent(out, in);
    const Values v = values_of(out);
    for (const char* sat : {"G01", "E11"}) {
        EXPECT_EQ(v.count({198, sat, "S1C"}), 1u) << sat;
        EXPECT_EQ(v.count({199, sat, "S1C"}), 0u) << sat;
        EXPECT_EQ(v.count({200, sat, "S1C"}), 0u) << sat;
        EXPECT_EQ(v.count({200, sat, "C1C"}) + v.count({200, sat, sat[0] == 'G' ? "S2W" : "S5Q"}), 1u) << sat;
    }
}

TEST(InjectJammer, ProfilesAndInvalidWindows) {
    Injection j = jammer(100.0, 900.0, 12.0);
    EXPECT_EQ(jammer_degradation(j, 99.9), 0.0);
    EXPECT_EQ(jammer_degradation(j, 100.0), 12.0);
    EXPECT_EQ(jammer_degradation(j, 900.0), 0.0);

    j.profile = JammerProfile::pass;
    EXPECT_NEAR(jammer_degradation(j, 500.0), 12.0, 1e-12);
    for (double dt : {10.0, 100.0, 399.0}) EXPECT_NEAR(jammer_degradation(j, 500.0 - dt), jammer_degradation(j, 500.0 + dt), 1e-12);
    // One tau (100 s) from the peak the noise power is halved.
    EXPECT_NEAR(jammer_degradation(j, 600.0), 10.0 * std::log10(1.0 + (std::pow(10.0, 1.2) - 1.0) / 2.0), 1e-12);

    j.profile = JammerProfile::ramp;
    j.steps = 4;  // 200 s each: 3, 6, 9, 12 dB
    const double expect[][2] = {{100.0, 3.0}, {299.9, 3.0}, {300.0, 6.0}, {500.0, 9.0}, {700.0, 12.0}, {899.9, 12.0}};
    for (const auto& [t, db] : expect) EXPECT_DOUBLE_EQ(jammer_degradation(j, t), db) << t;

    const RinexObsData in = four_epochs();
    const std::tuple<double, double, double> bad_windows[] = {
        {NAN, 90.0, 5.0}, {-30.0, 90.0, 5.0}, {60.0, 60.0, 5.0}, {90.0, 30.0, 5.0},
        {0.0, INFINITY, 5.0}, {0.0, 90.0, 0.0}, {0.0, 90.0, NAN}};
    for (auto [start, end, db] : bad_windows) {
        const Injection bad = jammer(start, end, db);
        EXPECT_EQ(jammer_degradation(bad, 30.0), 0.0);
        EXPECT_EQ(values_of(inject_interference(in, {bad}, threshold(40.0))), values_of(in)) << start << " " << end << " " << db;
    }
    EXPECT_TRUE(inject_interference(RinexObsData{}, {jammer(0.0, 10.0, 3.0)}, {}).epochs.empty());
}

TEST(InjectJammer, OverlappingJammersAddNoisePowers) {
    const RinexObsData in = four_epochs();
    const RinexObsData out = inject_interference(
        in, {jammer(0.0, 60.0, 3.0, {Band::L1, Band::L2}), jammer(30.0, 90.0, 3.0, {Band::L1})}, threshold(0.0));
    const Values a = values_of(in), b = values_of(out);
    const double both = 10.0 * std::log10(1.0 + 2.0 * (std::pow(10.0, 0.3) - 1.0));
    EXPECT_NEAR(a.at({0, "G01", "S1C"}) - b.at({0, "G01", "S1C"}), 3.0, 1e-9);
    EXPECT_NEAR(a.at({1, "G01", "S1C"}) - b.at({1, "G01", "S1C"}), both, 1e-9);
    EXPECT_NEAR(a.at({1, "E11", "S1C"}) - b.at({1, "E11", "S1C"}), both, 1e-9);
    EXPECT_NEAR(a.at({1, "G01", "S2W"}) - b.at({1, "G01", "S2W"}), 3.0, 1e-9);
    EXPECT_NEAR(a.at({2, "G01", "S1C"}) - b.at({2, "G01", "S1C"}), 3.0, 1e-9);
    EXPECT_EQ(a.at({1, "E11", "S5Q"}), b.at({1, "E11", "S5Q"}));
}

TEST(InjectSpoofer, FlattensCn0WithinSpreadAndLosesNothing) {
    const RinexObsData in = four_epochs();
    Injection s = jammer(30.0, 90.0, 0.0);
    s.kind = InjectionKind::spoofer;
    s.level = 50.0;
    InjectionOptions o{49.0, 7};
    // Most values lie below the 49 dB-Hz threshold, yet a spoofer loses none of them.
    const RinexObsData out = inject_interference(in, {s}, o);
    expect_consistent(out, in);
    const Values a = values_of(in), b = values_of(out);
    ASSERT_EQ(a.size(), b.size());
    std::vector<double> spoofed;
    for (const auto& [key, v] : a) {
        const auto& [epoch, sat, code] = key;
        if (code[0] == 'S' && (epoch == 1 || epoch == 2)) spoofed.push_back(b.at(key));
        else EXPECT_EQ(b.at(key), v);
    }
    ASSERT_EQ(spoofed.size(), 12u);
    for (double v : spoofed) {
        EXPECT_GE(v, 49.5);
        EXPECT_LE(v, 50.5);
    }
    EXPECT_NE(spoofed.front(), spoofed.back());  // noise, not a constant
    EXPECT_EQ(values_of(inject_interference(in, {s}, o)), b);  // same seed, same record
    o.seed = 8;
    EXPECT_NE(values_of(inject_interference(in, {s}, o)), b);

    // Default level: the median of the affected bands' CN0 (L5 here: E11 44, 43, 42, 41).
    s.level.reset();
    s.spread = 0.0;
    s.bands = {Band::L5};
    const Values c = values_of(inject_interference(in, {s}, o));
    EXPECT_DOUBLE_EQ(c.at({1, "E11", "S5Q"}), 42.5);
    EXPECT_EQ(c.at({1, "G01", "S2W"}), a.at({1, "G01", "S2W"}));
}
