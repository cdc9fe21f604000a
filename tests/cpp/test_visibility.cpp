// Predicted versus observed satellites. The scenarios put satellites near the receiver's zenith
// (always above the mask) or under its feet (never above it) and vary what the receiver reports,
// so every expected count below follows from the scenario by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/numbers.hpp"
#include "sky_scenario.hpp"
#include "visibility/sky_geometry.hpp"
#include "visibility/visibility.hpp"

using namespace tessora;
using namespace scenario;

namespace {

const Ecef kReceiver{kReceiverX, 0.0, 0.0};

// Ten GPS satellites high in the sky (longitudes 0..27 degrees, elevations above 45 degrees).
Sky ten_gps_overhead() {
    Sky sky;
    int k = 0;
    for (const auto& id : ids('G', 1, 10)) sky.kepler(id, 3.0 * k++, epoch30(0));
    return sky;
}

VisibilityResult compare(const Sky& sky, const RinexObsData& obs, double mask = 5.0) {
    return predict_visibility(SkyGeometry::compute(sky.nav, obs, kReceiver), "BRDC Navigation (test)", mask, obs);
}

const VisibilitySystemStats& sys(const VisibilityResult& r, const std::string& name) {
    static const VisibilitySystemStats none;
    auto it = r.by_system.find(name);
    EXPECT_NE(it, r.by_system.end()) << name;
    return it == r.by_system.end() ? none : it->second;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(SkyGeometry, CandidatesSortedAndAnglesMatchDirectEvaluation) {
    Sky sky = ten_gps_overhead();
    sky.kepler("E05", 0.0, epoch30(0));
    sky.kepler("C11", 180.0, epoch30(0));
    sky.glonass("R02", 10.0, epoch30(0));
    sky.kepler("J01", 20.0, epoch30(0));
    ObsText t;
    t.epoch(epoch30(0), Names{"G01", "X99"}).epoch(epoch30(1), Names{"G02"});
    const RinexObsData obs = t.read();
    const SkyGeometry g = SkyGeometry::compute(sky.nav, obs, kReceiver);

    const Names expected = concat(Names{"C11", "E05"}, concat(ids('G', 1, 10), Names{"J01", "R02"}));
    EXPECT_EQ(g.candidates(), expected);
    EXPECT_EQ(g.num_epochs(), 2u);
    EXPECT_EQ(g.candidate_index("G01"), std::optional<std::size_t>(2));
    EXPECT_EQ(g.candidate_index("G11"), std::nullopt);
    ASSERT_EQ(g.candidate_of_satellite().size(), obs.satellite_names.size());
    for (std::size_t s = 0; s < obs.satellite_names.size(); ++s) {
        const auto c = g.candidate_index(obs.satellite_names[s]);
        EXPECT_EQ(g.candidate_of_satellite()[s], c ? *c : std::numeric_limits<std::uint32_t>::max());
    }

    // Zenith, nadir and GLONASS: the satellite placed at longitude 0 is straight overhead, the one
    // at 180 degrees below the horizon.
    EXPECT_NEAR(g.at(0, *g.candidate_index("G01"))->elevation, 90.0, 1e-6);
    EXPECT_NEAR(g.at(0, *g.candidate_index("C11"))->elevation, -90.0, 1e-6);
    EXPECT_GT(g.at(1, *g.candidate_index("R02"))->elevation, 45.0);
    for (std::size_t e = 0; e < 2; ++e)
        for (std::size_t c = 0; c < expected.size(); ++c) {
            const auto pos = satellite_position(sky.nav, expected[c], obs.epochs[e].time);
            ASSERT_TRUE(pos);
            const LookAngles la = look_angles(kReceiver, *pos);
            ASSERT_TRUE(g.at(e, c));
            EXPECT_EQ(g.at(e, c)->elevation, la.elevation);
            EXPECT_EQ(g.at(e, c)->azimuth, la.azimuth);
        }
}

TEST(SkyGeometry, NoPositionOutsideTheEphemerisWindow) {
    Sky sky;
    sky.kepler("G01", 0.0, at(0, 0, 0));
    ObsText t;
    t.epoch(at(3, 59, 0), Names{"G01"}).epoch(at(4, 0, 1), Names{"G01"}).epoch(at(5, 0, 0), Names{"G01"});
    const SkyGeometry g = SkyGeometry::compute(sky.nav, t.read(), kReceiver);
    EXPECT_TRUE(g.at(0, 0));   // 3 h 59 min after the record
    EXPECT_FALSE(g.at(1, 0));  // just over 4 h
    EXPECT_FALSE(g.at(2, 0));
}

TEST(ReceiverPosition, PlaceholdersAreNotUsable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(usable_receiver_position({0.0, 0.0, 0.0}));
    EXPECT_FALSE(usable_receiver_position({999999.0, 0.0, 0.0}));
    EXPECT_FALSE(usable_receiver_position({577350.0, 577350.0, 577350.0}));  // 999.99 km
    EXPECT_FALSE(usable_receiver_position({nan, 0.0, 6378137.0}));
    EXPECT_FALSE(usable_receiver_position({6378137.0, inf, 0.0}));
    EXPECT_TRUE(usable_receiver_position({1000000.0, 0.0, 0.0}));
    EXPECT_TRUE(usable_receiver_position({577351.0, 577351.0, 577351.0}));
    EXPECT_TRUE(usable_receiver_position({3582105.291, 532589.7313, 5232754.8054}));
    EXPECT_TRUE(usable_receiver_position({1e300, 1e300, 1e300}));  // far, but a number
}

TEST(SystemName, FirstCharacterTable) {
    EXPECT_STREQ(system_name("G05"), "GPS");
    EXPECT_STREQ(system_name("R21"), "GLONASS");
    EXPECT_STREQ(system_name("E11"), "Galileo");
    EXPECT_STREQ(system_name("C19"), "BeiDou");
    EXPECT_STREQ(system_name("J02"), "QZSS");
    EXPECT_STREQ(system_name("S20"), "SBAS");
    EXPECT_STREQ(system_name("I05"), "Unknown");
    EXPECT_STREQ(system_name(""), "Unknown");
    EXPECT_STREQ(system_name("g05"), "Unknown");
}

TEST(Visibility, WithoutGeometryOrEpochsTheComparisonIsEmpty) {
    ObsText t;
    t.epoch(epoch30(0), Names{"G01"});
    const RinexObsData obs = t.read();
    for (const VisibilityResult& r :
         {predict_visibility(std::nullopt, "BRDC Navigation (10 satellites)", 5.0, obs),
          predict_visibility(SkyGeometry::compute(ten_gps_overhead().nav, ObsText().read(), kReceiver),
                             "BRDC Navigation (10 satellites)", 5.0, ObsText().read())}) {
        EXPECT_TRUE(r.has_prediction);
        EXPECT_EQ(r.prediction_source, "");
        EXPECT_EQ(r.mean_predicted, 0.0);
        EXPECT_EQ(r.mean_observed, 0.0);
        EXPECT_EQ(r.confirmation_rate, 0.0);
        EXPECT_TRUE(r.by_system.empty());
        EXPECT_TRUE(r.frequently_missing.empty());
        EXPECT_TRUE(r.anomalies.empty());
    }
}

TEST(Visibility, SingleEpochHasMeansAndSystemsButNoAnomalies) {
    // 10 predicted, 2 of them reported, plus one GPS satellite without an ephemeris.
    ObsText t;
    t.epoch(epoch30(0), Names{"G03", "G07", "G30"});
    const VisibilityResult r = compare(ten_gps_overhead(), t.read());
    EXPECT_EQ(r.prediction_source, "BRDC Navigation (test)");
    EXPECT_EQ(r.mean_predicted, 10.0);
    EXPECT_EQ(r.mean_observed, 3.0);
    EXPECT_EQ(r.mean_missing, 8.0);
    EXPECT_EQ(r.mean_unexpected, 1.0);
    EXPECT_DOUBLE_EQ(r.confirmation_rate, 20.0);
    EXPECT_TRUE(r.anomalies.empty());
    // q = 0: every satellite missing once is frequently missing.
    EXPECT_EQ(r.frequently_missing, without(ids('G', 1, 10), {"G03", "G07"}));
    EXPECT_EQ(r.frequently_unexpected, Names{"G30"});
    ASSERT_EQ(r.by_system.size(), 4u);
    const auto& gps = sys(r, "GPS");
    EXPECT_EQ(gps.system, "GPS");
    EXPECT_EQ(gps.predicted_satellites, 10u);
    EXPECT_EQ(gps.observed_satellites, 3u);  // two confirmed, one unexpected
    EXPECT_DOUBLE_EQ(gps.confirmation_rate, 30.0);
    EXPECT_EQ(gps.unexpected_satellites, Names{"G30"});
}

TEST(Visibility, ObservedMeansAPositiveSignalStrength) {
    // G01 has only a pseudorange, G02 a negative S value, G03 a value in S2W only.
    Sky sky;
    sky.kepler("G01", 0.0, epoch30(0));
    sky.kepler("G02", 3.0, epoch30(0));
    sky.kepler("G03", 6.0, epoch30(0));
    ObsText t;
    t.epoch(epoch30(0), std::vector<SatLine>{{"G01", ""}, {"G02", "-5.000"}, {"G03", "", "41.250"}});
    const VisibilityResult r = compare(sky, t.read());
    EXPECT_EQ(r.mean_observed, 1.0);
    EXPECT_EQ(r.mean_missing, 2.0);
    EXPECT_EQ(r.frequently_missing, (Names{"G01", "G02"}));
}

TEST(Visibility, SatellitesBelowTheMaskAreNotPredicted) {
    Sky sky = ten_gps_overhead();
    sky.kepler("G20", 180.0, epoch30(0));  // under the receiver
    sky.kepler("G21", 65.0, epoch30(0));   // low in the east: about 11 degrees
    ObsText t;
    t.epoch(epoch30(0), concat(ids('G', 1, 10), Names{"G20", "G21"}));
    const RinexObsData obs = t.read();
    const VisibilityResult r5 = compare(sky, obs, 5.0);
    EXPECT_EQ(r5.mean_predicted, 11.0);
    EXPECT_EQ(r5.mean_unexpected, 1.0);
    EXPECT_EQ(r5.frequently_unexpected, Names{"G20"});
    const VisibilityResult r20 = compare(sky, obs, 20.0);
    EXPECT_EQ(r20.mean_predicted, 10.0);
    EXPECT_EQ(r20.frequently_unexpected, (Names{"G20", "G21"}));
    // An elevation mask that is not a number predicts nothing.
    const VisibilityResult rn = compare(sky, obs, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(rn.mean_predicted, 0.0);
    EXPECT_EQ(rn.confirmation_rate, 0.0);
}

TEST(Visibility, MissingRunOfOneEpochLastsZeroSeconds) {
    // Epochs 0-9 complete; epoch 10 lacks G01-G04 (r = 0.4 starts a run); epoch 11 lacks G05
    // (r = 0.1 ends it); epoch 12 complete.
    ObsText t;
    for (int k = 0; k < 13; ++k) {
        Names sats = ids('G', 1, 10);
        if (k == 10) sats = without(sats, {"G01", "G02", "G03", "G04"});
        if (k == 11) sats = without(sats, {"G05"});
        t.epoch(epoch30(k), sats);
    }
    const VisibilityResult r = compare(ten_gps_overhead(), t.read());
    ASSERT_EQ(r.anomalies.size(), 1u);
    const VisibilityAnomaly& a = r.anomalies[0];
    EXPECT_EQ(a.anomaly_type, "missing_satellites");
    EXPECT_EQ(a.start_time, "2024-01-01T00:05:00.000Z");
    EXPECT_EQ(a.end_time, "2024-01-01T00:05:00.000Z");
    EXPECT_EQ(a.duration_seconds, 0.0);
    EXPECT_EQ(a.affected_satellites, (Names{"G01", "G02", "G03", "G04", "G05"}));
    EXPECT_EQ(a.affected_systems, Names{"GPS"});
    EXPECT_EQ(a.severity, "low");
    EXPECT_EQ(a.description, "5 satellites missing for 0s - possible jamming or obstruction");
    EXPECT_DOUBLE_EQ(r.mean_missing, 5.0 / 13.0);
    EXPECT_DOUBLE_EQ(r.confirmation_rate, (125.0 / 13.0) / 10.0 * 100.0);
}

TEST(Visibility, MissingRunsSeverityAndOpenRunAtTheEnd) {
    // Epochs 1-3 lack G01-G06 (high: 6 satellites); epoch 4 complete ends the run; epochs 6-7
    // lack G01-G04 until the end of the file: that run is never closed.
    ObsText t;
    for (int k = 0; k < 8; ++k) {
        Names sats = ids('G', 1, 10);
        if (k >= 1 && k <= 3) sats = without(sats, ids('G', 1, 6));
        if (k >= 6) sats = without(sats, ids('G', 1, 4));
        t.epoch(epoch30(k), sats);
    }
    const VisibilityResult r = compare(ten_gps_overhead(), t.read());
    ASSERT_EQ(r.anomalies.size(), 1u);
    EXPECT_EQ(r.anomalies[0].start_time, "2024-01-01T00:00:30.000Z");
    EXPECT_EQ(r.anomalies[0].end_time, "2024-01-01T00:01:30.000Z");
    EXPECT_NEAR(r.anomalies[0].duration_seconds, 60.0, 1e-4);  // Julian dates carry about 40 us
    EXPECT_EQ(r.anomalies[0].severity, "high");
    EXPECT_EQ(r.anomalies[0].description, "6 satellites missing for 60s - possible jamming or obstruction");
    // q = floor(8/4) = 2: G01-G04 are missing 5 times, G05-G06 3 times.
    EXPECT_EQ(r.frequently_missing, ids('G', 1, 6));
    EXPECT_EQ(sys(r, "GPS").missing_satellites, ids('G', 1, 6));
}

TEST(Visibility, AffectedSystemsSortedByteWiseAndThreeSystemsAreCritical) {
    Sky sky = ten_gps_overhead();
    sky.kepler("E01", 1.0, epoch30(0));
    sky.kepler("E02", 2.0, epoch30(0));
    sky.glonass("R01", 4.0, epoch30(0));
    sky.glonass("R02", 5.0, epoch30(0));
    const Names all = concat(ids('G', 1, 10), Names{"E01", "E02", "R01", "R02"});
    ObsText t;
    t.epoch(epoch30(0), all)
        .epoch(epoch30(1), without(all, {"R01", "G02", "E02", "R02", "G05"}))  // 5 of 14 missing
        .epoch(epoch30(2), all);
    const VisibilityResult r = compare(sky, t.read());
    ASSERT_EQ(r.anomalies.size(), 1u);
    const VisibilityAnomaly& a = r.anomalies[0];
    // Candidates in byte order: E02, G02, G05, R01, R02.
    EXPECT_EQ(a.affected_satellites, (Names{"E02", "G02", "G05", "R01", "R02"}));
    EXPECT_EQ(a.affected_systems, (Names{"GLONASS", "GPS", "Galileo"}));
    EXPECT_EQ(a.severity, "critical");
    EXPECT_EQ(sys(r, "GLONASS").predicted_satellites, 2u);
    EXPECT_EQ(sys(r, "Galileo").observed_satellites, 2u);
}

TEST(Visibility, SbasIsAlwaysUnexpectedAndOnlyAClosedUnexpectedRunCounts) {
    // Three SBAS satellites tracked throughout: the unexpected run never closes.
    {
        ObsText t;
        for (int k = 0; k < 5; ++k) t.epoch(epoch30(k), concat(ids('G', 1, 10), Names{"S20", "S21", "S22"}));
        const VisibilityResult r = compare(ten_gps_overhead(), t.read());
        EXPECT_EQ(r.mean_unexpected, 3.0);
        EXPECT_EQ(r.mean_observed, 13.0);
        EXPECT_EQ(r.confirmation_rate, 100.0);
        EXPECT_EQ(r.frequently_unexpected, (Names{"S20", "S21", "S22"}));
        EXPECT_TRUE(r.anomalies.empty());
    }
    // Epochs 1-3 with three SBAS satellites, then one (fewer than 2 ends the run).
    {
        ObsText t;
        for (int k = 0; k < 6; ++k) {
            Names sats = ids('G', 1, 10);
            if (k >= 1 && k <= 3) sats = concat(sats, {"S22", "S20", "S21"});
            if (k == 4) sats = concat(sats, {"S24"});
            t.epoch(epoch30(k), sats);
        }
        const VisibilityResult r = compare(ten_gps_overhead(), t.read());
        ASSERT_EQ(r.anomalies.size(), 1u);
        const VisibilityAnomaly& a = r.anomalies[0];
        EXPECT_EQ(a.anomaly_type, "unexpected_satellites");
        EXPECT_EQ(a.start_time, "2024-01-01T00:00:30.000Z");
        EXPECT_EQ(a.end_time, "2024-01-01T00:01:30.000Z");
        EXPECT_EQ(a.affected_satellites, (Names{"S22", "S20", "S21", "S24"}));  // file order, closing epoch too
        EXPECT_EQ(a.affected_systems, Names{"SBAS"});
        EXPECT_EQ(a.severity, "high");
        EXPECT_EQ(a.description, "4 unexpected satellites for 60s - possible spoofing or multipath");
    }
}

TEST(Visibility, QuarterOfSevenEpochsIsOne) {
    ObsText t;
    for (int k = 0; k < 7; ++k) {
        Names sats = ids('G', 1, 10);
        if (k == 2 || k == 5) sats = without(sats, {"G01"});
        if (k == 3) sats = without(sats, {"G02"});
        if (k == 4) sats = concat(sats, {"G31"});
        if (k == 1 || k == 6) sats = concat(sats, {"G32"});
        t.epoch(epoch30(k), sats);
    }
    const VisibilityResult r = compare(ten_gps_overhead(), t.read());
    EXPECT_EQ(r.frequently_missing, Names{"G01"});
    EXPECT_EQ(r.frequently_unexpected, Names{"G32"});
    EXPECT_EQ(sys(r, "GPS").missing_satellites, Names{"G01"});
    EXPECT_EQ(sys(r, "GPS").unexpected_satellites, Names{"G32"});
    EXPECT_TRUE(r.anomalies.empty());
}

TEST(Visibility, FourConstellationsAlwaysListed) {
    ObsText t;
    t.epoch(epoch30(0), ids('G', 1, 10)).epoch(epoch30(1), ids('G', 1, 9));
    const VisibilityResult r = compare(ten_gps_overhead(), t.read());
    ASSERT_EQ(r.by_system.size(), 4u);
    for (const char* name : {"GLONASS", "Galileo", "BeiDou"}) {
        EXPECT_EQ(sys(r, name).system, name);
        EXPECT_EQ(sys(r, name).predicted_satellites, 0u);
        EXPECT_EQ(sys(r, name).observed_satellites, 0u);
        EXPECT_EQ(sys(r, name).confirmation_rate, 0.0);
    }
    EXPECT_EQ(sys(r, "GPS").predicted_satellites, 10u);
    EXPECT_EQ(sys(r, "GPS").observed_satellites, 10u);
    EXPECT_EQ(sys(r, "GPS").confirmation_rate, 100.0);
}

TEST(Visibility, PredictedCountIsRoundedUp) {
    // 10 GPS candidates for 3 epochs, then the ephemeris of G10 (4 h before) expires: 10, 10, 10, 9
    // -> 9.75 -> 10; 2 of 10 observed -> 20 %. Satellites drift east by a quarter degree a minute.
    Sky sky;
    int k = 0;
    for (const auto& id : ids('G', 1, 9)) sky.kepler(id, 3.0 * k++, at(2, 0, 0));
    sky.kepler("G10", -60.0, at(0, 0, 0));
    ObsText t;
    t.epoch(at(2, 0, 0), Names{"G01", "G02"}).epoch(at(2, 0, 30), Names{"G01"}).epoch(at(3, 59, 0), Names{"G01"});
    t.epoch(at(4, 0, 30), Names{"G01"});
    const VisibilityResult r = compare(sky, t.read());
    EXPECT_EQ(r.mean_predicted, 9.75);
    EXPECT_EQ(sys(r, "GPS").predicted_satellites, 10u);
    EXPECT_EQ(sys(r, "GPS").observed_satellites, 2u);
    EXPECT_DOUBLE_EQ(sys(r, "GPS").confirmation_rate, 20.0);
}

// Receivers report constellations the navigation file does not cover, and navigation files cover
// constellations the receiver does not track. Neither side alone says anything about visibility.
TEST(Visibility, ConstellationsCoveredByOneSideOnlyAreLeftOut) {
    Sky sky = ten_gps_overhead();
    sky.kepler("E01", 1.0, epoch30(0));
    sky.kepler("E02", 2.0, epoch30(0));
    ObsText t;
    for (int k = 0; k < 4; ++k)
        t.epoch(epoch30(k), concat(ids('G', 1, 10), Names{"R01", "R02", "R03", "J01", "C20", "S20", "I05", "G30"}));
    const VisibilityResult r = compare(sky, t.read());
    // Galileo ephemerides but no Galileo signal: not predicted, so not missing.
    EXPECT_EQ(r.mean_predicted, 10.0);
    EXPECT_EQ(r.mean_missing, 0.0);
    EXPECT_EQ(sys(r, "Galileo").predicted_satellites, 0u);
    // GLONASS, QZSS and BeiDou without ephemerides do not count as observed; SBAS, IRNSS and a GPS
    // satellite missing from a GPS navigation file do, as unexpected.
    EXPECT_EQ(r.mean_observed, 13.0);
    EXPECT_EQ(r.mean_unexpected, 3.0);
    EXPECT_EQ(r.frequently_unexpected, (Names{"G30", "I05", "S20"}));
    EXPECT_EQ(sys(r, "GLONASS").observed_satellites, 0u);
    EXPECT_EQ(sys(r, "BeiDou").observed_satellites, 0u);
    EXPECT_EQ(sys(r, "GPS").observed_satellites, 11u);
    EXPECT_EQ(r.confirmation_rate, 100.0);
}

TEST(Visibility, PredictedSatellitesConvertSaturating) {
    // The conversion used for the rounded-up counts.
    EXPECT_EQ(saturating_cast<std::uint64_t>(std::ceil(std::numeric_limits<double>::quiet_NaN())), 0u);
    EXPECT_EQ(saturating_cast<std::uint64_t>(std::ceil(-0.5)), 0u);
    EXPECT_EQ(saturating_cast<std::uint64_t>(std::ceil(1e30)), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(saturating_cast<std::uint64_t>(std::ceil(std::numeric_limits<double>::infinity())),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(saturating_cast<std::uint64_t>(std::ceil(2.25)), 3u);
}

TEST(Visibility, SatellitesTheNavigationDataCannotPlaceThenAreNotUnexpected) {
    // G11 has a broadcast record, but six hours after the observations: no position at any epoch.
    // It is neither predicted nor reported as unexpected; G30, absent from the file, still is.
    Sky sky = ten_gps_overhead();
    sky.kepler("G11", 12.0, at(6, 0, 0.0));
    ObsText t;
    for (int k = 0; k < 4; ++k) t.epoch(epoch30(k), concat(ids('G', 1, 11), Names{"G30"}));
    const VisibilityResult r = compare(sky, t.read());
    EXPECT_EQ(r.mean_predicted, 10.0);
    EXPECT_EQ(r.mean_observed, 11.0);
    EXPECT_EQ(r.mean_unexpected, 1.0);
    EXPECT_EQ(r.frequently_unexpected, (Names{"G30"}));
    EXPECT_EQ(sys(r, "GPS").observed_satellites, 11u);
}
