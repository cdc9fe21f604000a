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

AnalysisConfig quick_analysis_config(double min_elevation, std::optional<std::vector<std::string>> systems) {
    AnalysisConfig c;
    c.min_elevation = min_elevation;
    c.min_cn0 = 0.0;
    c.max_cn0 = 60.0;
    c.time_bin_seconds = 60;
    c.systems = std::move(systems);
    c.anomaly_threshold_low = 3.0;
    c.anomaly_threshold_high = 6.0;
    c.anomaly_threshold_critical = 10.0;
    c.anomaly_sensitivity = 0.5;
    c.interference_threshold_db = 6.0;
    c.detect_anomalies = true;
    c.verbose = false;
    return c;
}

AnalysisInput make_analysis_input(const AnalysisConfig& c, std::shared_ptr<const RinexObsData> obs,
                                  std::shared_ptr<const NavigationData> navigation) {
    AnalysisInput in;
    in.obs = std::move(obs);
    in.systems = system_letters(c.systems);
    in.min_elevation = c.min_elevation;
    in.min_cn0 = c.min_cn0;
    in.max_cn0 = c.max_cn0;
    in.time_bin_seconds = c.time_bin_seconds;
    in.anomaly_threshold_low = c.anomaly_threshold_low;
    in.anomaly_threshold_high = c.anomaly_threshold_high;
    in.anomaly_threshold_critical = c.anomaly_threshold_critical;
    in.navigation = std::move(navigation);
    in.detect_anomalies = c.detect_anomalies;
    in.verbose = c.verbose;
    return in;
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
