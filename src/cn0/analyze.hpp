// A whole analysis from files: read the observation file and, when given, the navigation file,
// and run the pipeline. This is what every file-reading entry point of the module does; it holds
// no Python and may run on any thread.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cn0/config.hpp"
#include "cn0/pipeline.hpp"
#include "cn0/result.hpp"
#include "interference/report.hpp"
#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// What went wrong before the pipeline (which never fails) could start.
enum class AnalysisFailure : std::uint8_t { none, obs_unreadable, obs_invalid, nav_unreadable, nav_invalid };

struct AnalysisOutcome {
    AnalysisFailure failure = AnalysisFailure::none;
    std::string message;    // the read error's or the reader's message
    AnalysisResult result;  // when failure is none
    std::optional<InterferenceReport> interference;  // when asked for and failure is none
};

// Reads and analyses with `config`; `nav_path` null means no navigation file (the config's
// nav_file is not looked at). The files are read in the order observation, then navigation, and
// the first failure ends the run. With config.verbose, `progress` receives a line per stage.
// With `interference`, the interference detector runs on the same records after the analysis
// (its elevation mask and systems are the configuration's; all systems when it names none).
AnalysisOutcome analyze_files(std::string_view obs_path, const std::string* nav_path, const AnalysisConfig& config,
                              const ProgressSink& progress = {}, bool interference = false);

// The same on records read earlier.
AnalysisResult analyze_records(const AnalysisConfig& config, std::shared_ptr<const RinexObsData> obs,
                               std::shared_ptr<const NavigationData> navigation, const ProgressSink& progress = {});

// Per epoch of a record: the satellites predicted above the elevation mask and those observed, as
// the visibility comparison counts them (for plots over time). Empty without a usable receiver
// position or without epochs.
struct VisibilityTimeline {
    std::vector<std::string> timestamps;  // epoch time texts
    std::vector<std::uint32_t> predicted;
    std::vector<std::uint32_t> observed;
};
VisibilityTimeline visibility_timeline(const AnalysisConfig& config, std::shared_ptr<const RinexObsData> obs,
                                       std::shared_ptr<const NavigationData> navigation);

// Reading a file into a record: nullptr with `failure` and `message` set when it cannot be read.
// An RTCM 3 recording (plain or gzip-compressed, recognised by its content) is decoded instead
// of read as RINEX; the ephemerides it carried go to `stream_nav` when one is given.
std::shared_ptr<const RinexObsData> load_observations(std::string_view path, AnalysisFailure& failure,
                                                      std::string& message,
                                                      std::shared_ptr<const NavigationData>* stream_nav = nullptr);
std::shared_ptr<const NavigationData> load_navigation(std::string_view path, AnalysisFailure& failure,
                                                      std::string& message);

}  // namespace tessora
