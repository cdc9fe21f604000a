// Result of the comparison of predicted and observed satellites (the `visibility` block of an
// analysis result). Field names are the JSON keys.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tessora {

struct VisibilitySystemStats {
    std::string system;
    std::uint64_t predicted_satellites = 0;
    std::uint64_t observed_satellites = 0;
    double confirmation_rate = 0.0;
    std::vector<std::string> missing_satellites;
    std::vector<std::string> unexpected_satellites;
};

struct VisibilityAnomaly {
    std::string start_time;
    std::string end_time;
    double duration_seconds = 0.0;
    std::string anomaly_type;
    std::string severity;
    std::vector<std::string> affected_satellites;
    std::vector<std::string> affected_systems;
    std::string description;
};

struct VisibilityResult {
    bool has_prediction = false;
    std::string prediction_source;
    double confirmation_rate = 0.0;
    double mean_predicted = 0.0;
    double mean_observed = 0.0;
    double mean_missing = 0.0;
    double mean_unexpected = 0.0;
    std::vector<std::string> frequently_missing;
    std::vector<std::string> frequently_unexpected;
    std::map<std::string, VisibilitySystemStats> by_system;
    std::vector<VisibilityAnomaly> anomalies;
};

}  // namespace tessora
