// CN0-drop anomalies and the threat indications. The series below are chosen so that each
// satellite's baseline (mean and population deviation over all its values, the dropped one
// included) comes out exact, and the expected drops are worked out by hand next to each series.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cn0/analysis_steps.hpp"
#include "cn0/config.hpp"
#include "cn0/points.hpp"
#include "cn0/result.hpp"

using namespace tessora;

namespace {

std::string stamp(int k) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "2024-03-05T00:%02d:00.000Z", k);
    return buf;
}

struct Detection {
    RinexObsData obs;
    PointSet set;
    AnalysisInput input;

    explicit Detection(std::vector<std::string> satellites, int epochs = 17) {
        obs.satellite_names = std::move(satellites);
        obs.code_names = {"S1C", "S2W"};
        set.obs = &obs;
        for (int k = 0; k < epochs; ++k) set.times.push_back(stamp(k));
        input.anomaly_threshold_low = 3.0;
        input.anomaly_threshold_high = 6.0;
        input.anomaly_threshold_critical = 10.0;
    }
    void point(std::uint32_t time, std::uint32_t sat, std::uint32_t signal, const char* system, double cn0) {
        ObservationPoint p;
        p.time = time;
        p.satellite = sat;
        p.signal = signal;
        p.system = system;
        p.cn0 = cn0;
        p.elevation = 45.0;
        set.points.push_back(p);
    }
    // One value per epoch (signal 0): values[k] at epoch k.
    void series(std::uint32_t sat, const char* system, const std::vector<double>& values) {
        for (std::size_t k = 0; k < values.size(); ++k) point(static_cast<std::uint32_t>(k), sat, 0, system, values[k]);
    }
    // 17 values: 16 at 41 and `low` at epoch `at`.
    void dip(std::uint32_t sat, const char* system, int at, double low) {
        std::vector<double> v(17, 41.0);
        v[at] = low;
        series(sat, system, v);
    }
    AnalysisResult detect() const {
        AnalysisResult r;
        detect_cn0_anomalies(set, input, r);
        return r;
    }
};

// Sixteen values at 41 and one at 24: mean 680 / 17 = 40, deviations +1 (16x) and -16, variance
// (16 + 256) / 17 = 16, spread 4. Drop 40 - 24 = 16 > max(4, 5) x 3 = 15.
constexpr double kDip16 = 24.0;
// Sixteen at 41 and one at 28.25: mean 684.25 / 17 = 40.25, drop 12, deviations 0.75 (16x) and
// -12, variance (9 + 144) / 17 = 9, spread 3.
constexpr double kDip12 = 28.25;

}  // namespace

TEST(Anomalies, TwoSatellitesDroppingTogether) {
    // One system.
    {
        Detection run({"G01", "G02", "G03"});
        run.dip(0, "GPS", 5, kDip16);
        run.dip(1, "GPS", 5, kDip16);
        run.series(2, "GPS", std::vector<double>(17, 41.0));
        const AnalysisResult r = run.detect();
        ASSERT_EQ(r.anomalies.size(), 1u);
        const Anomaly& a = r.anomalies[0];
        EXPECT_EQ(a.timestamp, stamp(5));
        EXPECT_EQ(a.severity, "critical");
        EXPECT_EQ(a.event_type, "Multi-satellite CN0 drop");
        EXPECT_EQ(a.description, "16.0 dB-Hz drop affecting 2 satellite(s)");
        EXPECT_EQ(a.cn0_drop, 16.0);
        EXPECT_EQ(a.affected_satellites, (std::vector<std::string>{"G01", "G02"}));
        EXPECT_EQ(a.affected_systems, (std::vector<std::string>{"GPS"}));
        EXPECT_EQ(r.summary.anomaly_count, 1u);
        EXPECT_EQ(r.summary.critical_count, 1u);
        EXPECT_EQ(r.summary.high_count, 0u);
        EXPECT_EQ(r.summary.low_count, 0u);
    }
    // Two systems, listed in the order met.
    {
        Detection run({"G01", "E05"});
        run.dip(1, "Galileo", 5, kDip16);
        run.dip(0, "GPS", 5, kDip16);
        const AnalysisResult r = run.detect();
        ASSERT_EQ(r.anomalies.size(), 1u);
        EXPECT_EQ(r.anomalies[0].event_type, "Multi-system CN0 drop");
        EXPECT_EQ(r.anomalies[0].affected_satellites, (std::vector<std::string>{"E05", "G01"}));
        EXPECT_EQ(r.anomalies[0].affected_systems, (std::vector<std::string>{"Galileo", "GPS"}));
    }
    // Four satellites of one system count as a multi-system event; three do not.
    for (int n : {3, 4}) {
        Detection run({"G01", "G02", "G03", "G04"});
        for (int s = 0; s < n; ++s) run.dip(s, "GPS", 9, kDip16);
        const AnalysisResult r = run.detect();
        ASSERT_EQ(r.anomalies.size(), 1u);
        EXPECT_EQ(r.anomalies[0].event_type, n == 4 ? "Multi-system CN0 drop" : "Multi-satellite CN0 drop");
        EXPECT_EQ(r.anomalies[0].affected_systems.size(), 1u);
        EXPECT_EQ(r.anomalies[0].description,
                  "16.0 dB-Hz drop affecting " + std::to_string(n) + " satellite(s)");
    }
}

TEST(Anomalies, OneSatelliteAloneOrDropsAtDifferentEpochsGiveNothing) {
    Detection run({"G01", "G02"});
    run.dip(0, "GPS", 5, kDip16);
    run.dip(1, "GPS", 6, kDip16);
    const AnalysisResult r = run.detect();
    EXPECT_TRUE(r.anomalies.empty());
    EXPECT_EQ(r.summary.anomaly_count, 0u);
}

TEST(Anomalies, TenValuesNeededForABaseline) {
    // Nine values (eight at 45, one at 0): mean 40, a drop of 40 dB. Ten values (nine at 45, one
    // at 0): mean 40.5, spread 13.5, drop 40.5 > 13.5 x 1.
    for (int n : {9, 10}) {
        Detection run({"G01", "G02"}, n);
        run.input.anomaly_threshold_low = 1.0;
        for (std::uint32_t s = 0; s < 2; ++s) {
            std::vector<double> v(n, 45.0);
            v[n - 1] = 0.0;
            run.series(s, "GPS", v);
        }
        const AnalysisResult r = run.detect();
        if (n == 9) {
            EXPECT_TRUE(r.anomalies.empty());
        } else {
            ASSERT_EQ(r.anomalies.size(), 1u);
            EXPECT_EQ(r.anomalies[0].cn0_drop, 40.5);
            EXPECT_EQ(r.anomalies[0].description, "40.5 dB-Hz drop affecting 2 satellite(s)");
        }
    }
}

TEST(Anomalies, TenDecibelsNeverCount) {
    // Ten values: eight at 41.25, one at `other`, one at `low`, mean exactly 40. With the
    // multiplier 1 the spread test asks only drop > 5, so the 10 dB floor decides.
    auto run_with = [](double other, double low) {
        Detection run({"G01", "G02"}, 10);
        run.input.anomaly_threshold_low = 1.0;
        for (std::uint32_t s = 0; s < 2; ++s) {
            std::vector<double> v(10, 41.25);
            v[8] = other;
            v[9] = low;
            run.series(s, "GPS", v);
        }
        return run.detect();
    };
    EXPECT_TRUE(run_with(40.0, 30.0).anomalies.empty());  // drop exactly 10.0
    const AnalysisResult r = run_with(40.5, 29.5);          // drop 10.5
    ASSERT_EQ(r.anomalies.size(), 1u);
    EXPECT_EQ(r.anomalies[0].cn0_drop, 10.5);
    EXPECT_EQ(r.anomalies[0].timestamp, stamp(9));
}

TEST(Anomalies, SpreadMultiplierIsStrictAndUsesAtLeastFiveDecibels) {
    // Nine at 45, one at 25: mean 43, drop 18, deviations +2 (9x) and -18, variance 36, spread 6.
    auto spread6 = [](double low) {
        Detection run({"G01", "G02"}, 10);
        run.input.anomaly_threshold_low = low;
        for (std::uint32_t s = 0; s < 2; ++s) {
            std::vector<double> v(10, 45.0);
            v[4] = 25.0;
            run.series(s, "GPS", v);
        }
        return run.detect().anomalies.size();
    };
    EXPECT_EQ(spread6(3.0), 0u);    // 18 > 6 x 3 fails
    EXPECT_EQ(spread6(2.999), 1u);  // 18 > 17.994

    // Spread 4 is taken as 5: drop 16 against 5 x 3.2 = 16 fails, against 5 x 3.1 = 15.5 passes
    // (4 x 3.2 would have let it through).
    auto spread4 = [](double low) {
        Detection run({"G01", "G02"});
        run.input.anomaly_threshold_low = low;
        run.dip(0, "GPS", 3, kDip16);
        run.dip(1, "GPS", 3, kDip16);
        return run.detect().anomalies.size();
    };
    EXPECT_EQ(spread4(3.2), 0u);
    EXPECT_EQ(spread4(3.1), 1u);
}

TEST(Anomalies, SeverityBounds) {
    // Two satellites with drop 10.5 (see TenDecibelsNeverCount), multiplier 1.
    auto severity = [](double high, double critical) {
        Detection run({"G01", "G02"}, 10);
        run.input.anomaly_threshold_low = 1.0;
        run.input.anomaly_threshold_high = high;
        run.input.anomaly_threshold_critical = critical;
        for (std::uint32_t s = 0; s < 2; ++s) {
            std::vector<double> v(10, 41.25);
            v[8] = 40.5;
            v[9] = 29.5;
            run.series(s, "GPS", v);
        }
        const AnalysisResult r = run.detect();
        EXPECT_EQ(r.summary.anomaly_count, 1u);
        EXPECT_EQ(r.summary.critical_count + r.summary.high_count + r.summary.low_count, 1u);
        return r.anomalies.empty() ? std::string() : r.anomalies[0].severity;
    };
    EXPECT_EQ(severity(6.0, 10.5), "critical");  // equal to the critical threshold
    EXPECT_EQ(severity(10.5, 10.6), "high");     // equal to the high threshold
    EXPECT_EQ(severity(10.51, 10.6), "low");
}

TEST(Anomalies, SatelliteWithTwoDroppingSignalsCountsOnceWithItsLargerDrop) {
    // G01 has two signals over 17 epochs: 32 values at 41, and at epoch 7 S1C 26 and S2W 22.
    // Mean (1312 + 48) / 34 = 40: drops 14 and 18. Deviations +1 (32x), -14, -18: variance
    // 552 / 34 (about 16.2), spread about 4.03, taken as 5; multiplier 2.5 -> both drops count.
    Detection run({"G01", "G02"});
    run.input.anomaly_threshold_low = 2.5;
    run.input.anomaly_threshold_high = 15.0;
    run.input.anomaly_threshold_critical = 20.0;
    for (std::uint32_t k = 0; k < 17; ++k) {
        run.point(k, 0, 0, "GPS", k == 7 ? 26.0 : 41.0);
        run.point(k, 0, 1, "GPS", k == 7 ? 22.0 : 41.0);
        run.point(k, 1, 0, "GPS", k == 7 ? kDip16 : 41.0);
    }
    const AnalysisResult r = run.detect();
    ASSERT_EQ(r.anomalies.size(), 1u);
    const Anomaly& a = r.anomalies[0];
    EXPECT_EQ(a.affected_satellites, (std::vector<std::string>{"G01", "G02"}));
    EXPECT_EQ(a.cn0_drop, 18.0);
    EXPECT_EQ(a.severity, "high");
    EXPECT_EQ(a.description, "18.0 dB-Hz drop affecting 2 satellite(s)");
}

TEST(Anomalies, EpochsInTimestampOrderWithCountsBySeverity) {
    // The Galileo pair (drop 12 at epoch 7) is accepted before the GPS pair (drop 16 at epoch 3);
    // records still come in timestamp order. Multiplier 2: 12 > max(3, 5) x 2 and 16 > 10.
    Detection run({"E01", "E02", "G01", "G02"});
    run.input.anomaly_threshold_low = 2.0;
    run.input.anomaly_threshold_high = 11.0;
    run.input.anomaly_threshold_critical = 14.0;
    run.dip(0, "Galileo", 7, kDip12);
    run.dip(1, "Galileo", 7, kDip12);
    run.dip(2, "GPS", 3, kDip16);
    run.dip(3, "GPS", 3, kDip16);
    const AnalysisResult r = run.detect();
    ASSERT_EQ(r.anomalies.size(), 2u);
    EXPECT_EQ(r.anomalies[0].timestamp, stamp(3));
    EXPECT_EQ(r.anomalies[0].severity, "critical");
    EXPECT_EQ(r.anomalies[0].affected_satellites, (std::vector<std::string>{"G01", "G02"}));
    EXPECT_EQ(r.anomalies[1].timestamp, stamp(7));
    EXPECT_EQ(r.anomalies[1].severity, "high");
    EXPECT_EQ(r.anomalies[1].cn0_drop, 12.0);
    EXPECT_EQ(r.anomalies[1].description, "12.0 dB-Hz drop affecting 2 satellite(s)");
    EXPECT_EQ(r.summary.anomaly_count, 2u);
    EXPECT_EQ(r.summary.critical_count, 1u);
    EXPECT_EQ(r.summary.high_count, 1u);
    EXPECT_EQ(r.summary.low_count, 0u);
}

TEST(Anomalies, SwitchedOffLeavesListAndCountsEmpty) {
    Detection run({"G01", "G02"});
    run.dip(0, "GPS", 5, kDip16);
    run.dip(1, "GPS", 5, kDip16);
    run.input.detect_anomalies = false;
    AnalysisResult r;
    r.summary.anomaly_count = 7;
    r.summary.critical_count = 7;
    detect_cn0_anomalies(run.set, run.input, r);
    EXPECT_TRUE(r.anomalies.empty());
    EXPECT_EQ(r.summary.anomaly_count, 0u);
    EXPECT_EQ(r.summary.critical_count, 0u);
    EXPECT_EQ(r.summary.high_count, 0u);
    EXPECT_EQ(r.summary.low_count, 0u);
    run.input.detect_anomalies = true;
    EXPECT_EQ(run.detect().anomalies.size(), 1u);
}

// --- threat indications ------------------------------------------------------------------------

namespace {

AnalysisResult with_bins(std::size_t bins) {
    AnalysisResult r;
    r.timeseries.timestamps.assign(bins, "t");
    return r;
}

Anomaly anomaly(const char* severity, std::vector<std::string> systems) {
    Anomaly a;
    a.severity = severity;
    a.affected_systems = std::move(systems);
    return a;
}

AnalysisResult with_prediction(double unexpected, double observed, const char* source = "BRDC Navigation (56 satellites)") {
    AnalysisResult r;
    VisibilityResult v;
    v.has_prediction = true;
    v.prediction_source = source;
    v.mean_unexpected = unexpected;
    v.mean_observed = observed;
    r.visibility = v;
    return r;
}

}  // namespace

TEST(ThreatIndications, Interference) {
    AnalysisResult r = with_bins(1);
    r.summary.anomaly_count = 2;  // ratio 2, but fewer than 3 anomalies
    EXPECT_FALSE(interference_detected(r));
    r = with_bins(100);
    r.summary.anomaly_count = 3;  // 0.03 > 0.01
    EXPECT_TRUE(interference_detected(r));
    r = with_bins(300);
    r.summary.anomaly_count = 3;  // 0.01 is not > 0.01
    EXPECT_FALSE(interference_detected(r));
    r = with_bins(0);
    r.summary.anomaly_count = 3;  // an empty series counts as one bin
    EXPECT_TRUE(interference_detected(r));
}

TEST(ThreatIndications, Jamming) {
    AnalysisResult r = with_bins(100);
    r.summary.mean_cn0 = 20.0;
    r.summary.critical_count = 5;  // 0.05 is not > 0.05
    EXPECT_FALSE(jamming_detected(r));
    r.summary.critical_count = 6;
    EXPECT_TRUE(jamming_detected(r));
    r.summary.mean_cn0 = 35.0;  // not below 35, and no multi-system critical record
    EXPECT_FALSE(jamming_detected(r));
    r.anomalies.push_back(anomaly("critical", {"GPS"}));
    r.anomalies.push_back(anomaly("high", {"GPS", "Galileo"}));
    EXPECT_FALSE(jamming_detected(r));
    r.anomalies.push_back(anomaly("critical", {"GPS", "Galileo"}));
    EXPECT_TRUE(jamming_detected(r));
    r.summary.critical_count = 5;
    EXPECT_FALSE(jamming_detected(r));
    r = with_bins(0);  // one bin: 1 / 1 > 0.05
    r.summary.critical_count = 1;
    r.summary.mean_cn0 = 30.0;
    EXPECT_TRUE(jamming_detected(r));
}

TEST(ThreatIndications, Spoofing) {
    EXPECT_FALSE(spoofing_detected(AnalysisResult{}));
    EXPECT_TRUE(spoofing_detected(with_prediction(9.0, 20.0)));    // 0.45, 9 > 8
    EXPECT_FALSE(spoofing_detected(with_prediction(8.0, 10.0)));   // 8 is not > 8
    EXPECT_FALSE(spoofing_detected(with_prediction(10.0, 25.0)));  // 0.4 is not > 0.4
    EXPECT_TRUE(spoofing_detected(with_prediction(10.0, 24.0)));
    EXPECT_FALSE(spoofing_detected(with_prediction(9.0, 0.0)));    // nothing observed
    // The comparison could not run (no receiver position): no prediction, whatever the numbers.
    EXPECT_FALSE(spoofing_detected(with_prediction(9.0, 20.0, "")));
}
