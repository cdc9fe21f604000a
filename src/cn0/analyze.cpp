#include "cn0/analyze.hpp"

#include "interference/detect.hpp"

#include "cn0/pipeline_stages.hpp"
#include "visibility/visibility.hpp"

#include "common/file.hpp"
#include "common/heap_policy.hpp"
#include "common/numbers.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/obs_reader.hpp"

namespace tessora {

namespace {

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void report_reading(const ProgressSink& progress, const AnalysisConfig& config, const RinexObsData& obs,
                    const NavigationData* nav, std::chrono::steady_clock::time_point t0) {
    if (!config.verbose || !progress) return;
    std::string s = "reading: ";
    append_uint(s, obs.epochs.size());
    s += " epochs, ";
    append_uint(s, obs.distinct_satellites().size());
    s += " satellites";
    if (nav) {
        s += ", navigation for ";
        append_uint(s, nav->satellite_count());
        s += " satellites";
    }
    s += " (";
    append_int(s, static_cast<long long>(ms_since(t0)));
    s += " ms)";
    progress(s);
}

AnalysisResult run_reported(const AnalysisConfig& config, std::shared_ptr<const RinexObsData> obs,
                            std::shared_ptr<const NavigationData> nav, const ProgressSink& progress,
                            std::chrono::steady_clock::time_point t0) {
    AnalysisResult result = run_analysis(make_analysis_input(config, std::move(obs), std::move(nav)), progress);
    if (config.verbose && progress) {
        std::string s = "finished in ";
        append_int(s, static_cast<long long>(ms_since(t0)));
        s += " ms: grade ";
        s += result.quality_score.grade;
        progress(s);
    }
    return result;
}

}  // namespace

std::shared_ptr<const RinexObsData> load_observations(std::string_view path, AnalysisFailure& failure,
                                                      std::string& message) {
    FileBytes bytes;
    if (!read_whole_file(path, bytes, message)) {
        failure = AnalysisFailure::obs_unreadable;
        return nullptr;
    }
    auto rec = read_rinex_obs(bytes.view(), file_name_of(path));
    if (!rec) {
        failure = AnalysisFailure::obs_invalid;
        message = rec.error();
        return nullptr;
    }
    return std::make_shared<const RinexObsData>(std::move(rec.value()));
}

std::shared_ptr<const NavigationData> load_navigation(std::string_view path, AnalysisFailure& failure,
                                                      std::string& message) {
    FileBytes bytes;
    if (!read_whole_file(path, bytes, message)) {
        failure = AnalysisFailure::nav_unreadable;
        return nullptr;
    }
    auto rec = read_navigation_content(bytes.view());
    if (!rec) {
        failure = AnalysisFailure::nav_invalid;
        message = rec.error();
        return nullptr;
    }
    return std::make_shared<const NavigationData>(std::move(rec.value()));
}

AnalysisOutcome analyze_files(std::string_view obs_path, const std::string* nav_path, const AnalysisConfig& config,
                              const ProgressSink& progress, bool interference) {
    settle_heap_thresholds();
    const auto t0 = std::chrono::steady_clock::now();
    AnalysisOutcome out;
    auto obs = load_observations(obs_path, out.failure, out.message);
    if (!obs) return out;
    std::shared_ptr<const NavigationData> nav;
    if (nav_path) {
        nav = load_navigation(*nav_path, out.failure, out.message);
        if (!nav) return out;
    }
    report_reading(progress, config, *obs, nav.get(), t0);
    if (interference) {
        DetectorOptions options;
        options.min_elevation = config.min_elevation;
        if (config.systems) options.systems = system_letters(config.systems);
        out.interference = detect_interference(*obs, nav.get(), options);
        out.interference->filename = std::string(obs_path);
    }
    out.result = run_reported(config, std::move(obs), std::move(nav), progress, t0);
    return out;
}

AnalysisResult analyze_records(const AnalysisConfig& config, std::shared_ptr<const RinexObsData> obs,
                               std::shared_ptr<const NavigationData> navigation, const ProgressSink& progress) {
    settle_heap_thresholds();
    const auto t0 = std::chrono::steady_clock::now();
    report_reading(progress, config, *obs, navigation.get(), t0);
    return run_reported(config, std::move(obs), std::move(navigation), progress, t0);
}

VisibilityTimeline visibility_timeline(const AnalysisConfig& config, std::shared_ptr<const RinexObsData> obs,
                                       std::shared_ptr<const NavigationData> navigation) {
    VisibilityTimeline out;
    const AnalysisInput input = make_analysis_input(config, std::move(obs), std::move(navigation));
    const auto geometry = analysis_geometry(input);
    if (!geometry) return out;
    std::vector<EpochVisibility> per_epoch;
    (void)predict_visibility(geometry, std::string(), input.min_elevation, *input.obs, &per_epoch);
    for (std::size_t e = 0; e < per_epoch.size(); ++e) {
        out.timestamps.push_back(epoch_text(input.obs->epochs[e].time));
        out.predicted.push_back(per_epoch[e].predicted);
        out.observed.push_back(per_epoch[e].observed);
    }
    return out;
}

}  // namespace tessora
