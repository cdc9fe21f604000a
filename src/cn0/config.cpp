#include "cn0/config.hpp"

#include <utility>

namespace tessora {

AnalysisConfig make_analysis_config(AnalysisConfigArgs args) {
    AnalysisConfig c;
    c.min_elevation = args.min_elevation;
    c.min_cn0 = args.min_cn0;
    c.max_cn0 = args.max_cn0;
    if (args.time_bin_seconds) c.time_bin_seconds = *args.time_bin_seconds;
    else if (args.time_bin) c.time_bin_seconds = *args.time_bin;
    else c.time_bin_seconds = kDefaultTimeBinSeconds;
    c.systems = std::move(args.systems);
    const double factor = 1.0 - 0.5 * args.anomaly_sensitivity;
    c.anomaly_threshold_low = args.anomaly_threshold_low * factor;
    c.anomaly_threshold_high = args.anomaly_threshold_high * factor;
    c.anomaly_threshold_critical = args.interference_threshold_db;
    c.detect_anomalies = args.detect_anomalies;
    c.anomaly_sensitivity = args.anomaly_sensitivity;
    c.interference_threshold_db = args.interference_threshold_db;
    c.verbose = args.verbose;
    c.nav_file = std::move(args.nav_file);
    return c;
}

std::vector<char> system_letters(const std::optional<std::vector<std::string>>& systems) {
    if (!systems) return {'G', 'R', 'E', 'C'};
    std::vector<char> letters;
    letters.reserve(systems->size());
    for (const std::string& s : *systems)
        if (!s.empty()) letters.push_back(s.front());
    return letters;
}

}  // namespace tessora
