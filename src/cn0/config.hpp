// Settings of one CN0 analysis: the user-facing configuration record and the input record the
// pipeline receives for one run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rinex/obs_data.hpp"

namespace tessora {

struct NavigationData;

// Time-bin width used when neither time_bin_seconds nor time_bin is given.
inline constexpr std::uint32_t kDefaultTimeBinSeconds = 60;

// The constructor arguments of a configuration, before the sensitivity scaling. Absent optional
// values take the documented defaults.
struct AnalysisConfigArgs {
    double min_elevation = 5.0;
    double min_cn0 = 0.0;
    double max_cn0 = 60.0;
    std::optional<std::uint32_t> time_bin_seconds;
    std::optional<std::uint32_t> time_bin;
    std::optional<std::vector<std::string>> systems;
    double anomaly_threshold_low = 3.0;
    double anomaly_threshold_high = 6.0;
    double anomaly_threshold_critical = 10.0;  // accepted but superseded by interference_threshold_db
    bool detect_anomalies = true;
    double anomaly_sensitivity = 0.5;
    double interference_threshold_db = 6.0;
    bool verbose = false;
    std::optional<std::string> nav_file;
};

// The stored settings. The anomaly thresholds are already scaled by the sensitivity factor; a
// default-constructed record equals the one built from default arguments.
struct AnalysisConfig {
    double min_elevation = 5.0;
    double min_cn0 = 0.0;
    double max_cn0 = 60.0;
    std::uint32_t time_bin_seconds = kDefaultTimeBinSeconds;
    std::optional<std::vector<std::string>> systems;
    double anomaly_threshold_low = 2.25;
    double anomaly_threshold_high = 4.5;
    double anomaly_threshold_critical = 6.0;
    bool detect_anomalies = true;
    double anomaly_sensitivity = 0.5;
    double interference_threshold_db = 6.0;
    bool verbose = false;
    std::optional<std::string> nav_file;
};

// Builds the stored settings from constructor arguments:
//  - time_bin_seconds wins over time_bin, which wins over the 60 s default;
//  - the low and high thresholds are multiplied once by 1 - 0.5 * anomaly_sensitivity;
//  - the critical threshold is the interference threshold (the critical argument is dropped).
AnalysisConfig make_analysis_config(AnalysisConfigArgs args);

// The fixed settings of a quick analysis (analyze_cn0, CN0Analyzer.from_obs, analyze_many without
// a configuration): CN0 window 0-60 dB-Hz, 60 s bins, anomaly thresholds 3, 6 and 10 dB taken as
// they are, sensitivity 0.5, interference threshold 6 dB, detection on, quiet; the elevation
// mask and the systems as given.
AnalysisConfig quick_analysis_config(double min_elevation, std::optional<std::vector<std::string>> systems);

// Constellation letters handed to the pipeline: the first character of each entry (an empty
// entry contributes nothing); an absent list means GPS, GLONASS, Galileo and BeiDou.
std::vector<char> system_letters(const std::optional<std::vector<std::string>>& systems);

// What the pipeline receives for one run. The observation and navigation records are shared
// read-only with the Python objects that hold them; they never change after construction.
struct AnalysisInput {
    std::shared_ptr<const RinexObsData> obs;
    std::vector<char> systems;
    double min_elevation = 5.0;
    double min_cn0 = 0.0;
    double max_cn0 = 60.0;
    std::uint32_t time_bin_seconds = kDefaultTimeBinSeconds;
    double anomaly_threshold_low = 3.0;
    double anomaly_threshold_high = 6.0;
    double anomaly_threshold_critical = 10.0;
    std::shared_ptr<const NavigationData> navigation;  // null when no navigation file was given
    bool detect_anomalies = true;
    bool verbose = false;
};

// The input of one run: the settings of `config` (its systems reduced to letters) with the records.
AnalysisInput make_analysis_input(const AnalysisConfig& config, std::shared_ptr<const RinexObsData> obs,
                                  std::shared_ptr<const NavigationData> navigation);

}  // namespace tessora
