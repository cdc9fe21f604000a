// The analysis pipeline up to the time series and the visibility block: small records written in
// the tests with hand-computed expectations, and invariants on real observation/navigation pairs.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <memory>
#include <set>

#include "cn0/pipeline.hpp"
#include "cn0/pipeline_stages.hpp"
#include "sky_scenario.hpp"
#include "visibility/sky_geometry.hpp"

using namespace tessora;
using namespace scenario;

namespace {

using Names = std::vector<std::string>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

AnalysisInput input_of(const ObsText& t, std::vector<char> systems = {'G', 'R', 'E', 'C'}) {
    AnalysisInput in;
    in.obs = std::make_shared<const RinexObsData>(t.read());
    in.systems = std::move(systems);
    return in;
}

SatLine sat(const std::string& id, const std::string& s1c, const std::string& s2w = "") {
    return SatLine{id, s1c, s2w};
}

}  // namespace

TEST(Pipeline, FileInfoPositionAndDuration) {
    ObsText t({}, "  3582105.2910   532589.7313  5232754.8054");
    t.epoch(at(23, 0, 0), Names{"G01"}).epoch(at(1, 0, 0, 2), Names{"G01"});
    const AnalysisResult r = run_analysis(input_of(t));
    const FileInfo& f = r.file_info;
    EXPECT_EQ(f.marker_name, "TEST");
    EXPECT_EQ(f.filename, "");
    EXPECT_EQ(f.start_time, "2024-01-01T23:00:00.000Z");
    EXPECT_EQ(f.end_time, "2024-01-02T01:00:00.000Z");
    EXPECT_NEAR(f.duration_hours, 2.0, 1e-7);
    // Back to ECEF with the closed forward formula.
    const double a = 6378137.0, e2 = 0.0066943799901413165, k = kPi / 180.0;
    const double n = a / std::sqrt(1 - e2 * std::sin(f.position_lat * k) * std::sin(f.position_lat * k));
    EXPECT_NEAR((n + f.position_height) * std::cos(f.position_lat * k) * std::cos(f.position_lon * k), 3582105.291, 1e-4);
    EXPECT_NEAR((n + f.position_height) * std::cos(f.position_lat * k) * std::sin(f.position_lon * k), 532589.7313, 1e-4);
    EXPECT_NEAR((n * (1 - e2) + f.position_height) * std::sin(f.position_lat * k), 5232754.8054, 1e-4);
    EXPECT_NEAR(f.position_lat, 55.5, 0.1);  // Esbjerg
    EXPECT_FALSE(r.visibility);
}

TEST(Pipeline, DegenerateInputsGiveFileInformationOnly) {
    // No epochs at all.
    {
        const AnalysisResult r = run_analysis(input_of(ObsText()));
        EXPECT_EQ(r.file_info.marker_name, "TEST");
        EXPECT_EQ(r.file_info.start_time, "");
        EXPECT_EQ(r.summary.total_epochs, 0u);
        EXPECT_EQ(r.quality_score.grade, "N/A");
    }
    ObsText t;
    t.epoch(epoch30(0), Names{"G01", "R01"}).epoch(epoch30(1), Names{"G01"});
    // Without navigation data every satellite sits at 45 degrees: a 50 degree mask rejects all,
    // a 45 degree mask none.
    AnalysisInput in = input_of(t);
    in.min_elevation = 50.0;
    AnalysisResult r = run_analysis(in);
    EXPECT_EQ(r.file_info.end_time, "2024-01-01T00:00:30.000Z");
    EXPECT_EQ(r.summary.total_observations, 0u);
    EXPECT_EQ(r.summary.total_epochs, 0u);
    EXPECT_TRUE(r.summary.systems_observed.empty());
    EXPECT_TRUE(r.constellation_stats.empty());
    EXPECT_TRUE(r.timeseries.timestamps.empty());
    in.min_elevation = 45.0;
    EXPECT_EQ(run_analysis(in).summary.total_observations, 3u);
    // An empty list of systems accepts nothing; an absent one means GPS, GLONASS, Galileo, BeiDou.
    EXPECT_EQ(run_analysis(input_of(t, {})).summary.total_observations, 0u);
    EXPECT_TRUE(system_letters(std::vector<std::string>{}).empty());
    EXPECT_EQ(system_letters(std::nullopt), (std::vector<char>{'G', 'R', 'E', 'C'}));
    // An elevation mask that is not a number accepts no elevation.
    in.min_elevation = kNaN;
    EXPECT_EQ(run_analysis(in).summary.total_observations, 0u);
}

TEST(Pipeline, CN0WindowIsInclusiveAndRejectsNaN) {
    ObsText t;
    t.epoch(epoch30(0), std::vector<SatLine>{sat("G01", "60.000", "20.000"), sat("G02", "nan", "60.001"),
                                              sat("G03", "19.999", "35.500")});
    AnalysisInput in = input_of(t);
    // The reader keeps the value that is not a number.
    bool has_nan = false;
    for (double v : in.obs->obs_values) has_nan |= std::isnan(v);
    ASSERT_TRUE(has_nan);
    in.min_cn0 = 20.0;
    in.max_cn0 = 60.0;
    const AnalysisResult r = run_analysis(in);
    EXPECT_EQ(r.summary.total_observations, 3u);  // 60.0, 20.0 and 35.5
    EXPECT_EQ(r.summary.max_cn0, 60.0);
    EXPECT_EQ(r.summary.min_cn0, 20.0);
    EXPECT_DOUBLE_EQ(r.summary.mean_cn0, (60.0 + 20.0 + 35.5) / 3.0);
    EXPECT_EQ(r.satellite_stats.count("G02"), 0u);
    // A window limit that is not a number accepts nothing.
    in.min_cn0 = kNaN;
    EXPECT_EQ(run_analysis(in).summary.total_observations, 0u);
}

TEST(Pipeline, EverySignalStrengthCodeIsItsOwnPoint) {
    ObsText t;
    t.epoch(epoch30(0), std::vector<SatLine>{sat("G01", "40.000", "44.000")})
        .epoch(epoch30(1), std::vector<SatLine>{sat("G01", "40.000", "44.000")});
    const AnalysisResult r = run_analysis(input_of(t));
    const SatelliteStats& s = r.satellite_stats.at("G01");
    EXPECT_EQ(s.observation_count, 4u);
    EXPECT_EQ(s.mean_cn0, 42.0);
    EXPECT_EQ(s.std_cn0, 2.0);
    EXPECT_EQ(s.min_cn0, 40.0);
    EXPECT_EQ(s.max_cn0, 44.0);
    EXPECT_EQ(s.mean_elevation, 45.0);
    EXPECT_EQ(s.system, "GPS");
    const SatelliteTimeseries& ts = r.timeseries.satellite_timeseries.at("G01");
    EXPECT_EQ(ts.signal, "S1C");
    ASSERT_EQ(ts.cn0_series.size(), 4u);
    EXPECT_EQ(ts.cn0_series[1].cn0, 44.0);
    EXPECT_EQ(ts.cn0_series[2].timestamp, "2024-01-01T00:00:30.000Z");
    EXPECT_EQ(r.timeseries.satellite_count, (std::vector<std::uint64_t>{1, 1}));
}

TEST(Pipeline, DataGapsAndCycleSlips) {
    // G02 at the 1st, 2nd and 5th GPS timestamps with CN0 30, 45, 31 (sorted 30, 31, 45: one jump
    // over 10 dB-Hz); G01 steady at every timestamp; R01 with a jump of exactly 10 (no slip).
    ObsText t;
    const char* g02[] = {"30.000", "45.000", nullptr, nullptr, "31.000"};
    const char* r01[] = {"30.000", "40.000", nullptr, nullptr, nullptr};
    for (int k = 0; k < 5; ++k) {
        std::vector<SatLine> sats{sat("G01", "45.000")};
        if (g02[k]) sats.push_back(sat("G02", g02[k]));
        if (r01[k]) sats.push_back(sat("R01", r01[k]));
        t.epoch(epoch30(k), sats);
    }
    const AnalysisResult r = run_analysis(input_of(t));
    const ConstellationStats& gps = r.constellation_stats.at("GPS");
    EXPECT_EQ(gps.data_gaps, 2u);
    EXPECT_EQ(gps.cycle_slips, 1u);
    EXPECT_EQ(gps.observation_count, 8u);
    EXPECT_EQ(gps.satellite_count, 2u);
    EXPECT_EQ(gps.satellites_expected, 12u);
    EXPECT_DOUBLE_EQ(gps.availability_ratio, 2.0 / 12.0);
    const ConstellationStats& glo = r.constellation_stats.at("GLONASS");
    EXPECT_EQ(glo.cycle_slips, 0u);
    EXPECT_EQ(glo.data_gaps, 0u);  // its own timestamps are only the first two
    EXPECT_EQ(glo.std_cn0, 5.0);
    EXPECT_EQ(glo.satellites_expected, 9u);
}

TEST(Pipeline, TimeSeriesGroupedByTimestampText) {
    // The second and third epochs carry the same time; the file is out of time order.
    ObsText t;
    t.epoch(epoch30(2), std::vector<SatLine>{sat("G01", "50.000"), sat("E01", "30.000")})
        .epoch(epoch30(1), std::vector<SatLine>{sat("G01", "40.000")})
        .epoch(epoch30(1), std::vector<SatLine>{sat("G01", "42.000"), sat("G02", "44.000")});
    const AnalysisResult r = run_analysis(input_of(t));
    const Timeseries& ts = r.timeseries;
    EXPECT_EQ(ts.timestamps, (Names{"2024-01-01T00:00:30.000Z", "2024-01-01T00:01:00.000Z"}));
    EXPECT_EQ(ts.mean_cn0, (std::vector<double>{42.0, 40.0}));
    EXPECT_EQ(ts.satellite_count, (std::vector<std::uint64_t>{2, 2}));
    const auto& g01 = ts.satellite_timeseries.at("G01").cn0_series;
    ASSERT_EQ(g01.size(), 3u);
    EXPECT_EQ(g01[0].cn0, 40.0);  // ties keep file order
    EXPECT_EQ(g01[1].cn0, 42.0);
    EXPECT_EQ(g01[2].cn0, 50.0);
    const auto& gps = ts.constellation_timeseries.at("GPS");
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[0].cn0, 42.0);
    EXPECT_EQ(gps[0].elevation, 45.0);
    EXPECT_EQ(gps[0].azimuth, 0.0);
    EXPECT_EQ(gps[1].cn0, 50.0);
    ASSERT_EQ(ts.constellation_timeseries.at("Galileo").size(), 1u);
    EXPECT_EQ(r.file_info.start_time, "2024-01-01T00:01:00.000Z");  // first epoch of the file
    EXPECT_EQ(r.file_info.end_time, "2024-01-01T00:00:30.000Z");
    // The gap count walks the ordered timestamps: G02 at the first only, G01 at both.
    EXPECT_EQ(r.constellation_stats.at("GPS").data_gaps, 0u);
}

TEST(Pipeline, ObservedSystemsAndUnselectedConstellations) {
    ObsText t;
    t.epoch(epoch30(0), Names{"G01", "R01", "R02", "I05", "S20"})
        .epoch(epoch30(1), Names{"G02", "R03", "I05"});
    const AnalysisResult r = run_analysis(input_of(t, {'G', 'I'}));
    EXPECT_EQ(r.summary.systems_observed, (Names{"GLONASS", "GPS", "IRNSS", "SBAS"}));
    EXPECT_EQ(r.summary.total_satellites, 7u);
    EXPECT_EQ(r.summary.total_epochs, 2u);
    EXPECT_EQ(r.summary.total_observations, 4u);
    const ConstellationStats& glo = r.constellation_stats.at("GLONASS");
    EXPECT_EQ(glo.observation_count, 0u);
    EXPECT_EQ(glo.mean_cn0, 0.0);
    EXPECT_EQ(glo.satellite_count, 3u);
    EXPECT_DOUBLE_EQ(glo.availability_ratio, 3.0 / 9.0);
    // IRNSS points are named "Unknown"; the IRNSS entry counts the record's satellites.
    EXPECT_EQ(r.satellite_stats.at("I05").system, "Unknown");
    EXPECT_EQ(r.constellation_stats.at("Unknown").observation_count, 2u);
    EXPECT_EQ(r.constellation_stats.at("Unknown").satellite_count, 1u);
    EXPECT_EQ(r.constellation_stats.at("Unknown").satellites_expected, 10u);
    EXPECT_EQ(r.constellation_stats.at("IRNSS").observation_count, 0u);
    EXPECT_EQ(r.constellation_stats.at("IRNSS").satellite_count, 1u);
    EXPECT_EQ(r.constellation_stats.at("IRNSS").satellites_expected, 7u);
    EXPECT_EQ(r.constellation_stats.at("SBAS").satellites_expected, 3u);
    EXPECT_EQ(r.constellation_stats.size(), 5u);  // GLONASS GPS IRNSS SBAS Unknown
}

TEST(Pipeline, NavigationGivesLookAnglesAndVisibility) {
    Sky sky;
    int k = 0;
    for (const auto& id : ids('G', 1, 10)) sky.kepler(id, 3.0 * k++, epoch30(0));
    sky.kepler("G20", 180.0, epoch30(0));
    sky.kepler("E01", 0.0, epoch30(0));
    sky.kepler("E02", 3.0, epoch30(0));
    ObsText t;
    t.epoch(epoch30(0), concat(ids('G', 1, 8), Names{"G20", "G30"}))
        .epoch(epoch30(1), concat(ids('G', 1, 8), Names{"G20", "G30"}));
    AnalysisInput in = input_of(t);
    in.navigation = std::make_shared<const NavigationData>(sky.nav);
    in.verbose = true;
    std::vector<std::string> lines;
    const AnalysisResult r = run_analysis(in, [&](std::string_view l) { lines.emplace_back(l); });

    // G20 is below the horizon and rejected; G30 has no ephemeris and is taken at 45 degrees.
    EXPECT_EQ(r.satellite_stats.count("G20"), 0u);
    EXPECT_EQ(r.satellite_stats.at("G30").mean_elevation, 45.0);
    EXPECT_GT(r.satellite_stats.at("G01").mean_elevation, 89.0);
    EXPECT_EQ(r.summary.total_observations, 18u);
    ASSERT_TRUE(r.visibility);
    const VisibilityResult& v = *r.visibility;
    EXPECT_EQ(v.prediction_source, "BRDC Navigation (13 satellites)");  // Galileo counted too
    EXPECT_EQ(v.mean_predicted, 10.0);   // Galileo not tracked: not predicted
    EXPECT_EQ(v.mean_missing, 2.0);
    EXPECT_EQ(v.mean_unexpected, 2.0);   // G20 (under the horizon) and G30
    EXPECT_DOUBLE_EQ(v.confirmation_rate, 80.0);
    // Expected satellites from the prediction: max(10 predicted, 10 observed).
    EXPECT_EQ(r.constellation_stats.at("GPS").satellites_expected, 10u);
    // Ten GPS satellites in the record (G20 without points included) against ten expected.
    EXPECT_EQ(r.constellation_stats.at("GPS").satellite_count, 10u);
    EXPECT_EQ(r.constellation_stats.at("GPS").availability_ratio, 1.0);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].rfind("sky geometry: 13 satellites x 2 epochs", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("points: 18 CN0 values from 2 epochs", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("visibility: ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("statistics: 9 satellites", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind("sky views: 9 traces", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5].rfind("anomalies: 0 CN0-drop events", 0), 0u) << lines[5];
    EXPECT_EQ(lines[6].rfind("scoring: overall ", 0), 0u) << lines[6];
    in.verbose = false;
    lines.clear();
    run_analysis(in, [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_TRUE(lines.empty());
}

TEST(Pipeline, UnusableReceiverPositionsAreTreatedAsAbsent) {
    Sky sky;
    sky.kepler("G01", 0.0, epoch30(0));
    for (const std::string pos : {"        0.0000        0.0000        0.0000",
                                  "       12.0000      -30.0000        5.0000",
                                  "           nan        0.0000  6356752.0000"}) {
        ObsText t({}, pos);
        t.epoch(epoch30(0), Names{"G01", "G02"});
        AnalysisInput in = input_of(t);
        ASSERT_TRUE(in.obs->approx_position) << pos;
        in.navigation = std::make_shared<const NavigationData>(sky.nav);
        const AnalysisResult r = run_analysis(in);
        ASSERT_TRUE(r.visibility);
        EXPECT_TRUE(r.visibility->has_prediction);
        EXPECT_EQ(r.visibility->prediction_source, "") << pos;
        EXPECT_TRUE(r.visibility->by_system.empty());
        EXPECT_EQ(r.satellite_stats.at("G01").mean_elevation, 45.0);
        EXPECT_EQ(r.constellation_stats.at("GPS").satellites_expected, 12u);
    }
    // The file information keeps what the header says: the origin is 6378137 m below the equator.
    ObsText t({}, "        0.0000        0.0000        0.0000");
    t.epoch(epoch30(0), Names{"G01"});
    const AnalysisResult r = run_analysis(input_of(t));
    EXPECT_EQ(r.file_info.position_lat, 0.0);
    EXPECT_EQ(r.file_info.position_lon, 0.0);
    EXPECT_EQ(r.file_info.position_height, -6378137.0);
}

// Real observation files with their broadcast navigation files.
struct RealPair {
    const char* obs;
    const char* nav;
};

TEST(PipelineRealData, InvariantsOnObservationNavigationPairs) {
    const RealPair pairs[] = {
        {"rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"},
        {"rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx"},
        {"rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx", "rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx"},
        {"rinex/CRNX/V3/KMS300DNK_R_20221591000_01H_30S_MO.rnx", "rinex/NAV/V4/KMS300DNK_R_20221591000_01H_MN.rnx"},
        {"rinex/OBS/V2/zegv0010.21o", "rinex/NAV/V2/cbw10010.21n"},
        {"GNSS_Multipath_Analysis_Software/ObservationFiles/OPEC00NOR_S_20220010000_01D_30S_MO_3.04_croped.rnx",
         "GNSS_Multipath_Analysis_Software/NavigationFiles/OPEC00NOR_S_20220010000_01D_RN.rnx"},
        {"georinex/CEDA00USA_R_20182100000_23H_15S_MO.rnx", "georinex/CEDA00USA_R_20182100000_01D_MN.rnx"},
        {"GNSS_Multipath_Analysis_Software/ObservationFiles/NMBUS_SAMSUNG_S20.20o",
         "GNSS_Multipath_Analysis_Software/NavigationFiles/NMBUS_SAMSUNG_S20.20n"},
    };
    int ran = 0;
    for (const RealPair& p : pairs) {
        const auto obs_bytes = load_file(p.obs);
        const auto nav_bytes = load_file(p.nav);
        if (!obs_bytes || !nav_bytes) continue;
        auto obs = read_rinex_obs(*obs_bytes, p.obs);
        auto nav = read_navigation_content(*nav_bytes);
        ASSERT_TRUE(obs.ok() && nav.ok()) << p.obs;
        ++ran;
        AnalysisInput in;
        in.obs = std::make_shared<const RinexObsData>(std::move(obs.value()));
        in.navigation = std::make_shared<const NavigationData>(std::move(nav.value()));
        in.systems = system_letters(std::nullopt);
        in.min_elevation = 10.0;
        const AnalysisResult r = run_analysis(in);
        SCOPED_TRACE(p.obs);
        const std::optional<SkyGeometry> geo = analysis_geometry(in);

        // Points: elevations at or above the mask, azimuths in [0, 360).
        const PointSet ps = extract_points(in, geo ? &*geo : nullptr);
        for (const ObservationPoint& pt : ps.points) {
            ASSERT_GE(pt.elevation, 10.0);
            ASSERT_TRUE(pt.azimuth >= 0.0 && pt.azimuth < 360.0);
            ASSERT_TRUE(pt.cn0 >= 0.0 && pt.cn0 <= 60.0);
        }
        EXPECT_EQ(ps.points.size(), r.summary.total_observations);
        std::uint64_t by_sat = 0;
        for (const auto& [id, s] : r.satellite_stats) by_sat += s.observation_count;
        EXPECT_EQ(by_sat, r.summary.total_observations);
        if (r.summary.total_observations == 0) continue;
        ASSERT_TRUE(r.visibility);
        const VisibilityResult& v = *r.visibility;
        std::cout << "[ info     ] " << p.obs << " + " << p.nav << ": " << v.prediction_source
                  << (geo ? "" : " (no usable position)") << ", confirmation " << v.confirmation_rate
                  << " %, mean predicted " << v.mean_predicted << ", observed " << v.mean_observed << ", missing "
                  << v.mean_missing << ", unexpected " << v.mean_unexpected << ", anomalies " << v.anomalies.size()
                  << ", frequently missing";
        for (const auto& m : v.frequently_missing) std::cout << " " << m;
        std::cout << "\n";
        for (const auto& [name, s] : v.by_system)
            std::cout << "[ info     ]   " << name << ": predicted " << s.predicted_satellites << ", observed "
                      << s.observed_satellites << ", rate " << s.confirmation_rate << " %\n";
        EXPECT_TRUE(v.confirmation_rate >= 0.0 && v.confirmation_rate <= 100.0 + 1e-9);
        for (const auto& [name, s] : v.by_system) EXPECT_TRUE(s.confirmation_rate >= 0.0 && s.confirmation_rate <= 100.0);
        EXPECT_NEAR(v.mean_predicted - v.mean_missing + v.mean_unexpected, v.mean_observed, 1e-9);
        if (!geo) continue;

        // Predicted satellites are those of the tracked constellations standing at or above the
        // mask in the sky geometry: count them epoch by epoch.
        std::set<char> tracked;  // letters with a positive signal strength somewhere
        const RinexObsData& ob = *in.obs;
        for (const Epoch& ep : ob.epochs)
            for (auto* s = ob.sats_begin(ep); s != ob.sats_end(ep); ++s)
                for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i)
                    if (ob.is_snr_code(ob.obs_codes[i]) && ob.obs_values[i] > 0.0 && !ob.sat_name(*s).empty())
                        tracked.insert(ob.sat_name(*s)[0]);
        double predicted = 0.0;
        for (std::size_t e = 0; e < geo->num_epochs(); ++e)
            for (std::size_t c = 0; c < geo->candidates().size(); ++c) {
                const auto la = geo->at(e, c);
                if (la && la->elevation >= 10.0 && tracked.count(geo->candidates()[c][0])) predicted += 1.0;
            }
        EXPECT_NEAR(predicted / static_cast<double>(geo->num_epochs()), v.mean_predicted, 1e-9);
    }
    if (ran == 0) GTEST_SKIP() << "no real observation/navigation pair found";
}

TEST(PipelineRealData, GeodeticStationConfirmsMostPredictions) {
    const auto obs_bytes = load_file("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx");
    const auto nav_bytes = load_file("rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx");
    if (!obs_bytes || !nav_bytes) GTEST_SKIP() << "ESBC00DNK files not found";
    AnalysisInput in;
    in.obs = std::make_shared<const RinexObsData>(std::move(read_rinex_obs(*obs_bytes, "esbc").value()));
    in.navigation = std::make_shared<const NavigationData>(std::move(read_navigation_content(*nav_bytes).value()));
    in.systems = system_letters(std::nullopt);
    const AnalysisResult r = run_analysis(in);
    ASSERT_TRUE(r.visibility);
    EXPECT_GT(r.visibility->confirmation_rate, 90.0);
    // A 31-satellite GPS constellation shows about 8 to 12 satellites above 5 degrees at 55 N.
    const auto& gps = r.visibility->by_system.at("GPS");
    EXPECT_GE(gps.predicted_satellites, 7u);
    EXPECT_LE(gps.predicted_satellites, 14u);
    EXPECT_EQ(r.summary.total_epochs, 2880u);
    EXPECT_NEAR(r.file_info.duration_hours, 23.0 + 59.5 / 60.0, 1e-6);
}
