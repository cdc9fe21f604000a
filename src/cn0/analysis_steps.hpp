// The later steps of the analysis, each a function of the accepted points and the result built so
// far: sky views, CN0-drop anomalies, quality score; and the indications and the second quality
// score computed on demand from a finished result.
#pragma once

#include "cn0/config.hpp"
#include "cn0/points.hpp"
#include "cn0/result.hpp"

namespace tessora {

// Skyplot traces, occupied sky cells, coverage and the 18 x 36 heatmap matrices.
void build_sky_views(const PointSet& points, AnalysisResult& result);

// CN0-drop anomalies (ascending timestamp order) and the four summary counts.
void detect_cn0_anomalies(const PointSet& points, const AnalysisInput& input, AnalysisResult& result);

// The result's quality block; the last step of the analysis.
void score_quality(AnalysisResult& result);

// Threat indications of a finished result.
bool jamming_detected(const AnalysisResult& result);
bool spoofing_detected(const AnalysisResult& result);
bool interference_detected(const AnalysisResult& result);

// The second, notebook-oriented quality score.
struct QualityScoreValues {
    double overall = 0.0;
    double cn0_quality = 0.0;
    double availability = 0.0;
    double continuity = 0.0;
    double stability = 0.0;
    double diversity = 0.0;
    std::string rating;
    bool post_processing_suitable = false;
};
QualityScoreValues quality_score_values(const AnalysisResult& result);

// "QualityScore(overall=87, rating='B - Good')"
std::string quality_score_repr(const QualityScoreValues& q);

}  // namespace tessora
