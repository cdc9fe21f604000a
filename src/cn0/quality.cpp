// Quality scores of an analysis, both on a 0-100 scale: the result's own score (CN0 level, sky
// coverage, consistency), computed as the last step of every analysis, and the second score with
// availability, continuity, stability and diversity, computed on demand from a finished result.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cn0/analysis_steps.hpp"
#include "cn0/prediction_use.hpp"
#include "common/numbers.hpp"

namespace tessora {
namespace {

// Limits a score to 0..100; NaN is passed over and gives 0.
double clamp_score(double x) { return std::fmin(100.0, std::fmax(0.0, x)); }

const char* grade_of(double overall) {
    if (overall >= 90.0) return "A";
    if (overall >= 80.0) return "B";
    if (overall >= 70.0) return "C";
    if (overall >= 60.0) return "D";
    return "F";
}

const char* verdict_of(double overall) {
    if (overall >= 90.0) return "Excellent GNSS signal quality";
    if (overall >= 80.0) return "Good GNSS signal quality";
    if (overall >= 70.0) return "Fair GNSS signal quality with some issues";
    if (overall >= 60.0) return "Poor GNSS signal quality";
    return "Very poor GNSS signal quality - significant interference suspected";
}

const char* rating_of(double overall) {
    if (overall >= 90.0) return "A - Excellent";
    if (overall >= 80.0) return "B - Good";
    if (overall >= 70.0) return "C - Fair";
    if (overall >= 60.0) return "D - Poor";
    return "F - Very Poor";
}

}  // namespace

void score_quality(AnalysisResult& result) {
    const Summary& s = result.summary;
    const VisibilityResult* v = usable_prediction(result);
    QualityBlock& q = result.quality_score;

    // 30 dB-Hz mean CN0 scores 0, 45 dB-Hz scores 100.
    q.cn0_score = clamp_score((s.mean_cn0 - 30.0) / 15.0 * 100.0);
    q.coverage_score = clamp_score(result.skyplot.coverage_percent);

    // One anomaly per ten epochs already costs the whole consistency score.
    const double epochs = static_cast<double>(std::max<std::uint64_t>(s.total_epochs, 1));
    double consistency =
        clamp_score((1.0 - 10.0 * static_cast<double>(s.anomaly_count) / epochs) * 100.0);
    if (v != nullptr) {
        // Predicted satellites the receiver did not report, and reported satellites that were
        // not predicted, both speak against the recording.
        const double missing_penalty = std::fmin(30.0, std::fmax(0.0, (100.0 - v->confirmation_rate) * 0.5));
        const double unexpected_penalty = std::fmin(20.0, std::fmax(0.0, v->mean_unexpected * 5.0));
        consistency = clamp_score(consistency - missing_penalty - unexpected_penalty);
    }
    q.consistency_score = consistency;

    q.overall = 0.35 * q.cn0_score + 0.25 * q.coverage_score + 0.4 * q.consistency_score;
    q.grade = grade_of(q.overall);
    q.interpretation = verdict_of(q.overall);
    if (v != nullptr) {
        if (v->mean_observed > 0.0 && v->mean_unexpected > 5.0 &&
            v->mean_unexpected / v->mean_observed > 0.3)
            q.interpretation += " - WARNING: Many unexpected satellites detected";
        else if (v->mean_predicted > 10.0 && v->confirmation_rate < 50.0)
            q.interpretation += " - WARNING: Low satellite confirmation rate";
    }
}

QualityScoreValues quality_score_values(const AnalysisResult& result) {
    std::uint64_t tracked = 0;
    std::uint64_t expected = 0;
    std::uint64_t gaps = 0;
    double std_sum = 0.0;
    for (const auto& [name, c] : result.constellation_stats) {
        tracked += c.satellite_count;
        expected += c.satellites_expected;
        gaps += c.data_gaps;
        std_sum += c.std_cn0;
    }
    const std::size_t n = result.constellation_stats.size();
    const double spread = n > 0 ? std_sum / static_cast<double>(n) : 5.0;

    QualityScoreValues q;
    q.cn0_quality = result.quality_score.cn0_score;
    q.availability = expected > 0
                         ? std::fmin(100.0, static_cast<double>(tracked) / static_cast<double>(expected) * 100.0)
                         : 50.0;
    const double slots = static_cast<double>(std::max<std::size_t>(n, 1)) *
                         static_cast<double>(std::max<std::uint64_t>(result.summary.total_epochs, 1));
    q.continuity = clamp_score((1.0 - std::fmin(1.0, static_cast<double>(gaps) / slots)) * 100.0);
    // 12.5 points per dB-Hz of spread below 10.
    q.stability = clamp_score((10.0 - spread) * 0.125 * 100.0);
    q.diversity = std::fmin(100.0, static_cast<double>(result.summary.systems_observed.size()) * 25.0);
    q.overall = 0.3 * q.cn0_quality + 0.25 * q.availability + 0.2 * q.continuity + 0.15 * q.stability +
                0.1 * q.diversity;
    q.rating = rating_of(q.overall);
    q.post_processing_suitable = q.overall >= 65.0 && q.cn0_quality >= 60.0;
    return q;
}

std::string quality_score_repr(const QualityScoreValues& q) {
    std::string out = "QualityScore(overall=";
    append_fixed(out, q.overall, 0);
    out += ", rating='";
    out += q.rating;
    out += "')";
    return out;
}

}  // namespace tessora
