#include "cn0/analyze.hpp"

#include "interference/detect.hpp"

#include "cn0/pipeline_stages.hpp"
#include "visibility/visibility.hpp"

#include <sys/stat.h>
#include <zlib.h>

#include "archive/expand.hpp"
#include "common/file.hpp"
#include "common/heap_policy.hpp"
#include "common/numbers.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/obs_reader.hpp"
#include "rtcm/rtcm.hpp"

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

// Bytes looked at to recognise an RTCM 3 stream.
constexpr std::size_t kRecogniseBytes = 64 * 1024;

// The first bytes of a gzip file's content, without inflating the rest.
std::string gzip_head(std::string_view raw, std::size_t want) {
    std::string out(want, '\0');
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return {};
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(raw.size(), 1u << 30));
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(want);
    inflate(&z, Z_SYNC_FLUSH);
    out.resize(want - z.avail_out);
    inflateEnd(&z);
    return out;
}

bool is_rtcm_recording(std::string_view raw) {
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0x1f && static_cast<unsigned char>(raw[1]) == 0x8b)
        return rtcm::looks_like_rtcm3(gzip_head(raw, kRecogniseBytes));
    return rtcm::looks_like_rtcm3(raw.substr(0, kRecogniseBytes));
}

bool is_bzip2_or_lzw(std::string_view raw) {
    const auto b = [&](std::size_t i) { return raw.size() > i ? static_cast<unsigned char>(raw[i]) : 0u; };
    return (b(0) == 'B' && b(1) == 'Z' && b(2) == 'h') || (b(0) == 0x1f && b(1) == 0x9d);
}

std::optional<double> modification_time(std::string_view path) {
    struct stat st {};
    if (::stat(std::string(path).c_str(), &st) != 0) return std::nullopt;
    return static_cast<double>(st.st_mtim.tv_sec) + 1e-9 * static_cast<double>(st.st_mtim.tv_nsec);
}

std::shared_ptr<const RinexObsData> decode_recording(std::string_view path, std::string_view raw,
                                                     AnalysisFailure& failure, std::string& message,
                                                     std::shared_ptr<const NavigationData>* stream_nav) {
    auto expanded = expand_content(raw);
    if (!expanded) {
        failure = AnalysisFailure::obs_invalid;
        message = expanded.error();
        return nullptr;
    }
    rtcm::RtcmOptions options;
    options.file_name = file_name_of(path);
    options.file_time = modification_time(path);
    rtcm::RtcmRecording rec = rtcm::decode_rtcm3(expanded.value().view(), options);
    if (stream_nav && rec.nav) *stream_nav = std::make_shared<const NavigationData>(std::move(*rec.nav));
    return std::make_shared<const RinexObsData>(std::move(rec.obs));
}

}  // namespace

std::shared_ptr<const RinexObsData> load_observations(std::string_view path, AnalysisFailure& failure,
                                                      std::string& message,
                                                      std::shared_ptr<const NavigationData>* stream_nav) {
    FileBytes bytes;
    if (!read_whole_file(path, bytes, message)) {
        failure = AnalysisFailure::obs_unreadable;
        return nullptr;
    }
    if (is_rtcm_recording(bytes.view())) return decode_recording(path, bytes.view(), failure, message, stream_nav);
    auto rec = read_rinex_obs(bytes.view(), file_name_of(path));
    if (!rec && is_bzip2_or_lzw(bytes.view())) {
        // A recording in bzip2 or Unix compress: these are not inflated just for a look at their
        // head, so such a file is taken for RTCM 3 only once it has failed as RINEX.
        auto expanded = expand_content(bytes.view());
        if (expanded && rtcm::looks_like_rtcm3(expanded.value().view().substr(0, kRecogniseBytes)))
            return decode_recording(path, bytes.view(), failure, message, stream_nav);
    }
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
    std::shared_ptr<const NavigationData> nav;
    auto obs = load_observations(obs_path, out.failure, out.message, &nav);
    if (!obs) return out;
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
