// Quality scores: the result's own score block and the second score with its representation.
// Expected figures are worked out by hand from the weights (0.35 / 0.25 / 0.4 and
// 0.3 / 0.25 / 0.2 / 0.15 / 0.1) next to each case.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "cn0/analysis_steps.hpp"
#include "cn0/result.hpp"

using namespace tessora;

namespace {

// A clean result: no anomalies over 100 epochs, mean CN0 45 (cn0_score 100), coverage 40.
AnalysisResult clean() {
    AnalysisResult r;
    r.summary.total_epochs = 100;
    r.summary.mean_cn0 = 45.0;
    r.skyplot.coverage_percent = 40.0;
    return r;
}

VisibilityResult prediction(double confirmation, double predicted, double observed, double unexpected) {
    VisibilityResult v;
    v.has_prediction = true;
    v.prediction_source = "BRDC Navigation (56 satellites)";
    v.confirmation_rate = confirmation;
    v.mean_predicted = predicted;
    v.mean_observed = observed;
    v.mean_unexpected = unexpected;
    return v;
}

AnalysisResult scored(AnalysisResult r) {
    score_quality(r);
    return r;
}

}  // namespace

TEST(ResultQuality, Cn0ScoreScale) {
    AnalysisResult r = clean();
    r.summary.mean_cn0 = 25.0;
    EXPECT_EQ(scored(r).quality_score.cn0_score, 0.0);
    r.summary.mean_cn0 = 40.0;
    EXPECT_NEAR(scored(r).quality_score.cn0_score, 200.0 / 3.0, 1e-12);
    r.summary.mean_cn0 = 50.0;
    EXPECT_EQ(scored(r).quality_score.cn0_score, 100.0);
    r.summary.mean_cn0 = 36.0;  // 6 / 15 of the scale
    EXPECT_NEAR(scored(r).quality_score.cn0_score, 40.0, 1e-12);
}

TEST(ResultQuality, CleanRecordingWithoutPrediction) {
    // 0.35 x 100 + 0.25 x 40 + 0.4 x 100 = 85.
    const QualityBlock q = scored(clean()).quality_score;
    EXPECT_EQ(q.cn0_score, 100.0);
    EXPECT_EQ(q.coverage_score, 40.0);
    EXPECT_EQ(q.consistency_score, 100.0);
    EXPECT_NEAR(q.overall, 85.0, 1e-12);
    EXPECT_EQ(q.grade, "B");
    EXPECT_EQ(q.interpretation, "Good GNSS signal quality");

    AnalysisResult wide = clean();
    wide.skyplot.coverage_percent = 250.0;  // clamped to 100
    EXPECT_EQ(scored(wide).quality_score.coverage_score, 100.0);
}

TEST(ResultQuality, ConsistencyFromAnomalies) {
    AnalysisResult r = clean();
    r.summary.anomaly_count = 10;  // 1 - 10 x 10 / 100 = 0
    EXPECT_EQ(scored(r).quality_score.consistency_score, 0.0);
    r.summary.anomaly_count = 5;  // 1 - 0.5
    EXPECT_NEAR(scored(r).quality_score.consistency_score, 50.0, 1e-12);
    r.summary.anomaly_count = 30;  // negative before clamping
    EXPECT_EQ(scored(r).quality_score.consistency_score, 0.0);
    r.summary.anomaly_count = 0;
    r.summary.total_epochs = 0;  // taken as one epoch
    EXPECT_EQ(scored(r).quality_score.consistency_score, 100.0);
    r.summary.anomaly_count = 1;
    EXPECT_EQ(scored(r).quality_score.consistency_score, 0.0);
}

TEST(ResultQuality, GradeBounds) {
    // cn0 100, coverage 100, one anomaly in 40 epochs (consistency 75): 35 + 25 + 30 = 90.
    AnalysisResult r;
    r.summary.mean_cn0 = 45.0;
    r.skyplot.coverage_percent = 100.0;
    r.summary.total_epochs = 40;
    r.summary.anomaly_count = 1;
    QualityBlock q = scored(r).quality_score;
    EXPECT_EQ(q.consistency_score, 75.0);
    EXPECT_EQ(q.overall, 90.0);
    EXPECT_EQ(q.grade, "A");
    EXPECT_EQ(q.interpretation, "Excellent GNSS signal quality");

    // Mean CN0 44.9995714: cn0_score 99.99714, overall 89.999.
    r.summary.mean_cn0 = 44.9995714;
    q = scored(r).quality_score;
    EXPECT_NEAR(q.overall, 89.999, 1e-6);
    EXPECT_EQ(q.grade, "B");
    EXPECT_EQ(q.interpretation, "Good GNSS signal quality");

    // Lower bands.
    AnalysisResult low;
    low.summary.total_epochs = 10;
    low.summary.mean_cn0 = 45.0;
    low.skyplot.coverage_percent = 100.0;  // 35 + 25 + 40 = 100
    EXPECT_EQ(scored(low).quality_score.grade, "A");
    low.skyplot.coverage_percent = 40.0;  // 85
    low.summary.anomaly_count = 1;        // consistency 0: 35 + 10 = 45
    q = scored(low).quality_score;
    EXPECT_NEAR(q.overall, 45.0, 1e-12);
    EXPECT_EQ(q.grade, "F");
    EXPECT_EQ(q.interpretation, "Very poor GNSS signal quality - significant interference suspected");
    low.summary.total_epochs = 40;
    low.summary.anomaly_count = 1;  // consistency 75: 35 + 10 + 30 = 75
    q = scored(low).quality_score;
    EXPECT_EQ(q.grade, "C");
    EXPECT_EQ(q.interpretation, "Fair GNSS signal quality with some issues");
    low.summary.anomaly_count = 2;  // consistency 50: 35 + 10 + 20 = 65
    q = scored(low).quality_score;
    EXPECT_EQ(q.grade, "D");
    EXPECT_EQ(q.interpretation, "Poor GNSS signal quality");
}

TEST(ResultQuality, PredictionPenaltiesAndWarnings) {
    // Confirmation 40 costs min(30, 60 x 0.5) = 30, one unexpected satellite 5: consistency 65,
    // overall 35 + 10 + 26 = 71.
    AnalysisResult r = clean();
    r.visibility = prediction(40.0, 12.0, 10.0, 1.0);
    QualityBlock q = scored(r).quality_score;
    EXPECT_NEAR(q.consistency_score, 65.0, 1e-12);
    EXPECT_NEAR(q.overall, 71.0, 1e-12);
    EXPECT_EQ(q.grade, "C");
    EXPECT_EQ(q.interpretation,
              "Fair GNSS signal quality with some issues - WARNING: Low satellite confirmation rate");

    // 6 unexpected of 15 observed (0.4 > 0.3): the first warning only, although the confirmation
    // warning would apply too. Penalties 30 and min(20, 30) = 20.
    r.visibility = prediction(40.0, 12.0, 15.0, 6.0);
    q = scored(r).quality_score;
    EXPECT_NEAR(q.consistency_score, 50.0, 1e-12);
    EXPECT_EQ(q.interpretation, "Poor GNSS signal quality - WARNING: Many unexpected satellites detected");

    // Ratio exactly 0.3 is not above it: falls through to the confirmation warning.
    r.visibility = prediction(40.0, 12.0, 20.0, 6.0);
    EXPECT_NE(scored(r).quality_score.interpretation.find(" - WARNING: Low satellite confirmation rate"),
              std::string::npos);
    // 5 unexpected is not above 5; 10 predicted is not above 10: no warning at all.
    r.visibility = prediction(40.0, 10.0, 5.0, 5.0);
    q = scored(r).quality_score;
    EXPECT_EQ(q.interpretation.find("WARNING"), std::string::npos);
    // Confirmation 50 is not below 50; full confirmation costs nothing.
    r.visibility = prediction(50.0, 12.0, 10.0, 0.0);
    q = scored(r).quality_score;
    EXPECT_EQ(q.interpretation.find("WARNING"), std::string::npos);
    EXPECT_NEAR(q.consistency_score, 75.0, 1e-12);
    r.visibility = prediction(120.0, 12.0, 12.0, -1.0);  // penalties never negative
    EXPECT_EQ(scored(r).quality_score.consistency_score, 100.0);
}

TEST(ResultQuality, ComparisonWithoutReceiverPositionIsNoPrediction) {
    // Navigation given but no receiver position: the block exists with an empty source and
    // zeros. Scored as a result without prediction: no penalty, no warning.
    AnalysisResult r = clean();
    VisibilityResult v;
    v.has_prediction = true;
    r.visibility = v;
    QualityBlock q = scored(r).quality_score;
    EXPECT_EQ(q.consistency_score, 100.0);
    EXPECT_EQ(q.interpretation, "Good GNSS signal quality");
    // Even placeholder numbers that would trigger a penalty and a warning are ignored.
    r.visibility = prediction(0.0, 20.0, 10.0, 9.0);
    r.visibility->prediction_source.clear();
    q = scored(r).quality_score;
    EXPECT_EQ(q.consistency_score, 100.0);
    EXPECT_EQ(q.interpretation, "Good GNSS signal quality");
}

// --- second score ------------------------------------------------------------------------------

namespace {

ConstellationStats constellation(const char* name, std::uint64_t sats, std::uint64_t expected,
                                 std::uint64_t gaps, double std_cn0) {
    ConstellationStats c;
    c.system = name;
    c.satellite_count = sats;
    c.satellites_expected = expected;
    c.data_gaps = gaps;
    c.std_cn0 = std_cn0;
    return c;
}

}  // namespace

TEST(QualityScore, NoConstellations) {
    // availability 50, continuity 100, stability (10 - 5) x 12.5 = 62.5, diversity 0, cn0 0:
    // 12.5 + 20 + 9.375 = 41.875.
    const QualityScoreValues q = quality_score_values(AnalysisResult{});
    EXPECT_EQ(q.availability, 50.0);
    EXPECT_EQ(q.continuity, 100.0);
    EXPECT_EQ(q.stability, 62.5);
    EXPECT_EQ(q.diversity, 0.0);
    EXPECT_EQ(q.cn0_quality, 0.0);
    EXPECT_NEAR(q.overall, 41.875, 1e-12);
    EXPECT_EQ(q.rating, "F - Very Poor");
    EXPECT_FALSE(q.post_processing_suitable);
    EXPECT_EQ(quality_score_repr(q), "QualityScore(overall=42, rating='F - Very Poor')");
}

TEST(QualityScore, TwoConstellations) {
    // S 15, E 20: availability 75. G 4 over 2 x 100 slots: continuity 98. Spread (2 + 4) / 2 = 3:
    // stability 87.5. Two systems: diversity 50. cn0 80:
    // 24 + 18.75 + 19.6 + 13.125 + 5 = 80.475.
    AnalysisResult r;
    r.quality_score.cn0_score = 80.0;
    r.summary.mean_cn0 = 20.0;  // the stored cn0 score is used, not recomputed
    r.summary.total_epochs = 100;
    r.summary.systems_observed = {"GPS", "Galileo"};
    r.constellation_stats["GPS"] = constellation("GPS", 9, 12, 3, 2.0);
    r.constellation_stats["Galileo"] = constellation("Galileo", 6, 8, 1, 4.0);
    const QualityScoreValues q = quality_score_values(r);
    EXPECT_EQ(q.cn0_quality, 80.0);
    EXPECT_NEAR(q.availability, 75.0, 1e-12);
    EXPECT_NEAR(q.continuity, 98.0, 1e-12);
    EXPECT_NEAR(q.stability, 87.5, 1e-12);
    EXPECT_EQ(q.diversity, 50.0);
    EXPECT_NEAR(q.overall, 80.475, 1e-12);
    EXPECT_EQ(q.rating, "B - Good");
    EXPECT_TRUE(q.post_processing_suitable);
    EXPECT_EQ(quality_score_repr(q), "QualityScore(overall=80, rating='B - Good')");
}

TEST(QualityScore, Limits) {
    // More tracked than expected caps availability; gaps beyond the slots floor continuity; a
    // spread above 10 floors stability; five systems cap diversity.
    AnalysisResult r;
    r.quality_score.cn0_score = 100.0;
    r.summary.total_epochs = 2;
    r.summary.systems_observed = {"GPS", "GLONASS", "Galileo", "BeiDou", "QZSS"};
    r.constellation_stats["GPS"] = constellation("GPS", 14, 10, 9, 12.0);
    const QualityScoreValues q = quality_score_values(r);
    EXPECT_EQ(q.availability, 100.0);
    EXPECT_EQ(q.continuity, 0.0);
    EXPECT_EQ(q.stability, 0.0);
    EXPECT_EQ(q.diversity, 100.0);
    // 30 + 25 + 0 + 0 + 10 = 65, at the post-processing bound.
    EXPECT_NEAR(q.overall, 65.0, 1e-12);
    EXPECT_EQ(q.rating, "D - Poor");
    EXPECT_TRUE(q.post_processing_suitable);
}

TEST(QualityScore, PostProcessingNeedsBothBounds) {
    // Availability, continuity, diversity 100, spread 6 (stability 50):
    // 0.3 cn0 + 25 + 20 + 7.5 + 10. cn0 59 -> 80.2, cn0 60 -> 80.5.
    AnalysisResult r;
    r.summary.total_epochs = 10;
    r.summary.systems_observed = {"GPS", "GLONASS", "Galileo", "BeiDou"};
    r.constellation_stats["GPS"] = constellation("GPS", 10, 10, 0, 6.0);
    r.quality_score.cn0_score = 59.0;
    QualityScoreValues q = quality_score_values(r);
    EXPECT_NEAR(q.overall, 80.2, 1e-12);
    EXPECT_EQ(q.rating, "B - Good");
    EXPECT_FALSE(q.post_processing_suitable);
    r.quality_score.cn0_score = 60.0;
    q = quality_score_values(r);
    EXPECT_TRUE(q.post_processing_suitable);
    // overall just under 65 with a good CN0 score: not suitable.
    r.constellation_stats["GPS"] = constellation("GPS", 10, 10, 10, 10.0);  // continuity 0, stability 0
    r.quality_score.cn0_score = 99.9;  // 29.97 + 25 + 0 + 0 + 10 = 64.97
    q = quality_score_values(r);
    EXPECT_NEAR(q.overall, 64.97, 1e-12);
    EXPECT_FALSE(q.post_processing_suitable);
}

TEST(QualityScore, ReprRoundsHalfToEven) {
    QualityScoreValues q;
    q.rating = "B - Good";
    auto repr_of = [&](double overall) {
        q.overall = overall;
        return quality_score_repr(q);
    };
    EXPECT_EQ(repr_of(87.4), "QualityScore(overall=87, rating='B - Good')");
    EXPECT_EQ(repr_of(86.5), "QualityScore(overall=86, rating='B - Good')");
    EXPECT_EQ(repr_of(87.5), "QualityScore(overall=88, rating='B - Good')");
    EXPECT_EQ(repr_of(86.50000000000001), "QualityScore(overall=87, rating='B - Good')");
    EXPECT_EQ(repr_of(100.0), "QualityScore(overall=100, rating='B - Good')");
    EXPECT_EQ(repr_of(std::numeric_limits<double>::quiet_NaN()), "QualityScore(overall=NaN, rating='B - Good')");
}
