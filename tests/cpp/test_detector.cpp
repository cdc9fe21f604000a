// The interference detector on made-up recordings without navigation data (each satellite's own
// level is its expectation): a clean recording, jammers on one band and on all, a spoofer, and
// recordings it cannot judge.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "interference/detect.hpp"
#include "interference/inject.hpp"
#include "injection_cases.hpp"

using namespace tessora;

namespace {

constexpr int kSatellites = 12;
constexpr int kEpochs = 480;  // four hours at 30 s

// GPS satellites with S1C (L1) and S2W (L2): each at its own level, a slow drift as if rising or
// setting, and deterministic noise of about half a dB.
RinexObsData recording(int epochs = kEpochs) {
    RinexObsData r;
    r.version = 3.04;
    r.marker_name = "TEST";
    r.interval = 30.0;
    r.code_names = {"S1C", "S2W"};
    r.obs_types.push_back(ObsTypeList{'G', {0, 1}});
    for (int s = 0; s < kSatellites; ++s) r.satellite_names.push_back((s < 9 ? "G0" : "G") + std::to_string(s + 1));
    std::uint64_t state = 12345;
    const auto noise = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5);
    };
    for (int e = 0; e < epochs; ++e) {
        Epoch ep;
        const int second = e * 30;
        ep.time = EpochTime{2024, 1, 1, static_cast<std::uint32_t>(second / 3600),
                            static_cast<std::uint32_t>(second / 60 % 60), static_cast<double>(second % 60)};
        ep.sat_begin = static_cast<std::uint32_t>(r.sat_entries.size());
        for (int s = 0; s < kSatellites; ++s) {
            const double level = 38.0 + s + 4.0 * std::sin(e / 150.0 + s);
            const auto first = static_cast<std::uint32_t>(r.obs_values.size());
            for (std::uint32_t c = 0; c < 2; ++c) {
                r.obs_values.push_back(level - 6.0 * c + noise());
                r.obs_codes.push_back(c);
                r.obs_indicators.push_back(0xFF);
            }
            r.sat_entries.push_back(SatelliteEntry{static_cast<std::uint32_t>(s), first, 2});
            ++ep.sat_count;
        }
        r.epochs.push_back(ep);
    }
    return r;
}

InterferenceReport detect(const RinexObsData& r) { return detect_interference(r, nullptr, DetectorOptions{}); }

using cases::jammer;

}  // namespace

TEST(Detector, CleanRecordingHasNoEventAndBandSeries) {
    const InterferenceReport r = detect(recording());
    EXPECT_EQ(r.mode, "baseline");
    EXPECT_EQ(r.reason, "");
    EXPECT_TRUE(r.events.empty());
    ASSERT_EQ(r.series.size(), 2u);
    EXPECT_EQ(r.series[0].band, "L1");
    EXPECT_EQ(r.series[1].band, "L2");
    EXPECT_EQ(r.series[0].degradation.size(), static_cast<std::size_t>(kEpochs));
    // The lowest evidence threshold of the bands, for the default rate of false alarms.
    EXPECT_GT(r.trigger_sigma, 2.0);
    for (const BandSeries& b : r.series) EXPECT_GE(b.trigger_sigma, r.trigger_sigma);
    EXPECT_EQ(r.false_alarms_per_day, kDefaultFalseAlarmsPerDay);
}

TEST(Detector, OneBandJammerIsBandLimitedWithItsOnsetAndPeak) {
    // 10 minutes of 6 dB on L1 from epoch 200 (6000 s): nothing is lost at these levels.
    const RinexObsData jammed = inject_interference(recording(), {jammer(6000, 6600, 6.0, {Band::L1})}, {});
    const InterferenceReport r = detect(jammed);
    ASSERT_EQ(r.events.size(), 1u);
    const InterferenceEvent& e = r.events[0];
    EXPECT_EQ(e.kind, "band-limited");
    EXPECT_EQ(e.bands, std::vector<std::string>{"L1"});
    EXPECT_EQ(e.start, "2024-01-01T01:40:00.000Z");
    EXPECT_EQ(e.end, "2024-01-01T01:49:30.000Z");
    EXPECT_NEAR(e.peak_degradation_db, 6.0, 1.5);
    EXPECT_EQ(e.satellites_affected.size(), static_cast<std::size_t>(kSatellites));
    EXPECT_EQ(e.systems, std::vector<std::string>{"GPS"});
}

TEST(Detector, AllBandJammerIsWidebandAndLossesAreCounted) {
    // 20 dB takes the weaker satellites below their floors.
    const RinexObsData jammed = inject_interference(recording(), {jammer(6000, 6600, 20.0)}, {});
    const InterferenceReport r = detect(jammed);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, "wideband");
    EXPECT_EQ(r.events[0].bands, (std::vector<std::string>{"L1", "L2"}));
    EXPECT_FALSE(r.events[0].satellites_lost.empty());
    EXPECT_EQ(r.events[0].start, "2024-01-01T01:40:00.000Z");
}

TEST(Detector, FlatWindowIsNotClaimedSpoofingWithoutElevations) {
    // Each satellite's own level carries no elevation pattern that one transmitter would erase:
    // without navigation data spoofing is not judged, and the report says so.
    Injection s;
    s.kind = InjectionKind::spoofer;
    s.start = 6000;
    s.end = 6600;
    const InterferenceReport r = detect(inject_interference(recording(), {s}, {}));
    EXPECT_FALSE(r.spoofing_judged);
    for (const InterferenceEvent& e : r.events) EXPECT_NE(e.kind, "spoofing-like") << event_repr(e);
}

TEST(Detector, FalseAlarmRateSetsTheEvidenceNeeded) {
    const RinexObsData jammed = inject_interference(recording(), {jammer(6000, 6600, 6.0, {Band::L1})}, {});
    DetectorOptions strict, loose;
    strict.false_alarms_per_day = 1e-6;
    loose.false_alarms_per_day = 10.0;
    const InterferenceReport a = detect_interference(jammed, nullptr, strict), b = detect_interference(jammed, nullptr, loose);
    EXPECT_GT(a.trigger_sigma, b.trigger_sigma);
    EXPECT_EQ(a.false_alarms_per_day, 1e-6);
    // A 6 dB jammer is found at either rate, with the same onset.
    ASSERT_EQ(a.events.size(), 1u);
    ASSERT_FALSE(b.events.empty());
    EXPECT_EQ(a.events[0].start, "2024-01-01T01:40:00.000Z");
}

TEST(Detector, FixedThresholdIsInDecibels) {
    const RinexObsData jammed = inject_interference(recording(), {jammer(6000, 6600, 3.0, {Band::L1})}, {});
    DetectorOptions o;
    o.threshold_db = 4.0;
    EXPECT_TRUE(detect_interference(jammed, nullptr, o).events.empty());
    o.threshold_db = 2.0;
    EXPECT_EQ(detect_interference(jammed, nullptr, o).events.size(), 1u);
}

TEST(Detector, RecordingsItCannotJudgeSayWhy) {
    EXPECT_EQ(detect(RinexObsData{}).reason, "the recording has no epochs");
    EXPECT_EQ(detect(recording(10)).reason, "the recording is too short: 10 epochs with CN0, at least 20 are needed");
    RinexObsData no_cn0 = recording(30);
    no_cn0.code_names = {"C1C", "L1C"};
    const InterferenceReport r = detect(no_cn0);
    EXPECT_EQ(r.reason, "the recording has no CN0 observations");
    EXPECT_EQ(r.mode, "none");
    EXPECT_TRUE(r.events.empty());
    DetectorOptions galileo;
    galileo.systems = {'E'};
    EXPECT_EQ(detect_interference(recording(), nullptr, galileo).reason,
              "the recording has no CN0 observations of the selected systems");
}
