// The record of one finished CN0 analysis. Blocks and fields are declared in the order in which
// the JSON writer emits them, and each field is named as its JSON key. Maps are ordered by key so
// that the same analysis always serialises to the same bytes.
//
// A default-constructed AnalysisResult is the empty result: texts empty, numbers 0, containers
// empty, grade "N/A", interpretation "No data", no visibility comparison.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/inline_text.hpp"
#include "visibility/visibility_result.hpp"

namespace tessora {

struct FileInfo {
    std::string filename;  // never filled by the analysis
    std::string marker_name;
    std::string receiver_type;
    std::string antenna_type;
    std::string start_time;
    std::string end_time;
    double duration_hours = 0.0;
    double interval = 0.0;  // seconds
    double position_lat = 0.0;     // degrees
    double position_lon = 0.0;     // degrees
    double position_height = 0.0;  // metres
};

struct QualityBlock {
    double overall = 0.0;
    double cn0_score = 0.0;
    double coverage_score = 0.0;
    double consistency_score = 0.0;
    std::string grade = "N/A";
    std::string interpretation = "No data";
};

struct Summary {
    std::uint64_t total_observations = 0;
    std::uint64_t total_satellites = 0;
    std::uint64_t total_epochs = 0;
    std::vector<std::string> systems_observed;
    double mean_cn0 = 0.0;
    double min_cn0 = 0.0;
    double max_cn0 = 0.0;
    std::uint64_t anomaly_count = 0;
    std::uint64_t critical_count = 0;
    std::uint64_t high_count = 0;
    std::uint64_t low_count = 0;
};

struct ConstellationStats {
    std::string system;
    std::uint64_t satellite_count = 0;
    std::uint64_t observation_count = 0;
    double mean_cn0 = 0.0;
    double min_cn0 = 0.0;
    double max_cn0 = 0.0;
    double std_cn0 = 0.0;
    std::uint64_t satellites_expected = 0;
    double availability_ratio = 0.0;
    std::uint64_t cycle_slips = 0;
    std::uint64_t data_gaps = 0;
};

struct SatelliteStats {
    std::string satellite;
    std::string system;
    std::uint64_t observation_count = 0;
    double mean_cn0 = 0.0;
    double min_cn0 = 0.0;
    double max_cn0 = 0.0;
    double std_cn0 = 0.0;
    double mean_elevation = 0.0;
};

struct CN0Point {
    InlineText timestamp;
    double cn0 = 0.0;
    double elevation = 0.0;
    double azimuth = 0.0;
    std::uint32_t signal = 0;  // index into the satellite series' signals (not in the JSON)
};

struct SatelliteTimeseries {
    std::string satellite;
    std::string system;
    std::string signal;  // observation code of the CN0 signal (of the first point)
    std::vector<std::string> signals;  // codes of the points' signals, signal first (not in the JSON)
    std::vector<CN0Point> cn0_series;
};

struct Timeseries {
    std::vector<std::string> timestamps;
    std::vector<double> mean_cn0;
    std::vector<std::uint64_t> satellite_count;
    std::map<std::string, SatelliteTimeseries> satellite_timeseries;
    std::map<std::string, std::vector<CN0Point>> constellation_timeseries;
};

struct SkyplotPoint {
    double azimuth = 0.0;
    double elevation = 0.0;
    double cn0 = 0.0;
    std::string satellite;
};

struct SkyplotTrace {
    std::string satellite;
    std::string system;
    std::vector<SkyplotPoint> points;
};

struct HeatmapPoint {
    double azimuth_bin = 0.0;
    double elevation_bin = 0.0;
    double mean_cn0 = 0.0;
    std::uint64_t count = 0;
};

struct Skyplot {
    std::vector<SkyplotTrace> traces;
    std::vector<HeatmapPoint> heatmap_points;
    double coverage_percent = 0.0;
};

struct Heatmap {
    std::vector<double> azimuth_bins;
    std::vector<double> elevation_bins;
    std::vector<std::vector<double>> cn0_matrix;
    std::vector<std::vector<std::uint64_t>> count_matrix;
};

struct Anomaly {
    std::string timestamp;
    std::string severity;  // "low", "high" or "critical"
    std::string event_type;
    std::string description;
    double cn0_drop = 0.0;
    std::vector<std::string> affected_satellites;
    std::vector<std::string> affected_systems;
};

struct AnalysisResult {
    FileInfo file_info;
    QualityBlock quality_score;
    Summary summary;
    std::map<std::string, ConstellationStats> constellation_stats;
    std::map<std::string, SatelliteStats> satellite_stats;
    Timeseries timeseries;
    Skyplot skyplot;
    Heatmap heatmap;
    std::vector<Anomaly> anomalies;
    std::optional<VisibilityResult> visibility;  // absent without navigation data
};

}  // namespace tessora
