// CN0Analyzer and analyze_cn0: gather observations, navigation and settings, run the pipeline and
// wrap its record in an AnalysisResult.
#include <chrono>

#include "cn0/config.hpp"
#include "cn0/pipeline.hpp"
#include "common/file.hpp"
#include "navigation/nav_reader.hpp"
#include "python/classes.hpp"
#include "rinex/obs_reader.hpp"

namespace tessora::py {

PyTypeObject* g_analyzer_type = nullptr;

namespace {

// The analyzer's state: optional observations (from_obs), its settings and optional navigation
// (set_navigation). Records are immutable and shared; only the navigation pointer ever changes.
struct AnalyzerState {
    std::shared_ptr<const RinexObsData> obs;
    AnalysisConfig config;
    std::shared_ptr<const NavigationData> nav;
};

// Writes the progress lines of a verbose analysis to sys.stderr.
class Progress {
public:
    explicit Progress(bool on) : on_(on), start_(std::chrono::steady_clock::now()) {}
    void line(std::string_view text) const {
        if (on_) PySys_WriteStderr("tessora_cn0: %.900s\n", std::string(text).c_str());
    }
    double elapsed_ms() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }
    ProgressSink sink() const {
        if (!on_) return {};
        return [this](std::string_view text) { line(text); };
    }
    bool on() const { return on_; }

private:
    bool on_;
    std::chrono::steady_clock::time_point start_;
};

// Reads and parses an observation file; raises IOError (with `prefix`) or ValueError.
std::shared_ptr<const RinexObsData> load_obs(std::string_view path, std::string_view prefix) {
    std::string bytes;
    if (!read_file_or_raise(path, bytes, prefix)) return nullptr;
    Expected<RinexObsData> rec = Expected<RinexObsData>::failure({});
    if (!core_call([&] { rec = read_rinex_obs(bytes, file_name_of(path)); })) return nullptr;
    if (!rec) {
        raise(PyExc_ValueError, rec.error());
        return nullptr;
    }
    return std::make_shared<const RinexObsData>(std::move(rec.value()));
}

std::shared_ptr<const NavigationData> load_nav(std::string_view path, std::string_view prefix) {
    std::string bytes;
    if (!read_file_or_raise(path, bytes, prefix)) return nullptr;
    Expected<NavigationData> rec = Expected<NavigationData>::failure({});
    if (!core_call([&] { rec = read_navigation_content(bytes); })) return nullptr;
    if (!rec) {
        raise(PyExc_ValueError, rec.error());
        return nullptr;
    }
    return std::make_shared<const NavigationData>(std::move(rec.value()));
}

AnalysisInput input_from_config(const AnalysisConfig& c, std::shared_ptr<const RinexObsData> obs,
                                std::shared_ptr<const NavigationData> nav) {
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
    in.navigation = std::move(nav);
    in.detect_anomalies = c.detect_anomalies;
    in.verbose = c.verbose;
    return in;
}

// Settings of an analysis started without an AnalysisConfig.
AnalysisConfig fixed_config(double min_elevation, std::optional<std::vector<std::string>> systems) {
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

PyObject* run(const AnalysisInput& in, const Progress& progress) {
    AnalysisResult result = run_analysis(in, progress.sink());
    if (progress.on()) {
        std::string s = "finished in ";
        s += std::to_string(static_cast<long long>(progress.elapsed_ms()));
        s += " ms: grade ";
        s += result.quality_score.grade;
        progress.line(s);
    }
    return wrap_analysis_result(std::move(result));
}

void report_reading(const Progress& p, const RinexObsData& obs, const NavigationData* nav) {
    if (!p.on()) return;
    std::string s = "reading: ";
    s += std::to_string(obs.epochs.size()) + " epochs, " + std::to_string(obs.distinct_satellites().size()) +
         " satellites";
    if (nav) s += ", navigation for " + std::to_string(nav->satellite_count()) + " satellites";
    s += " (" + std::to_string(static_cast<long long>(p.elapsed_ms())) + " ms)";
    p.line(s);
}

AnalyzerState& state_of(PyObject* self) { return payload_of<AnalyzerState>(self); }

// ---------------------------------------------------------------- constructor and from_obs
PyObject* analyzer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"config"};
    PyObject* a[1];
    if (!bind_args("CN0Analyzer", names, 1, 1, args, kwargs, a)) return nullptr;
    if (!conv_instance(a[0], g_analysis_config_type, "config")) return nullptr;
    AnalyzerState st;
    {
        ReadBorrow guard(borrow_of<ConfigPayload>(a[0]));
        if (!guard.ok()) return nullptr;
        st.config = *analysis_config_of(a[0]);
    }
    return box_new<AnalyzerState>(type, std::move(st));
}

PyObject* from_obs(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"obs_data", "min_elevation", "time_bin_seconds", "systems"};
    PyObject* a[4];
    if (!bind_args("from_obs", names, 4, 1, args, kwargs, a)) return nullptr;
    if (!conv_instance(a[0], g_rinex_obs_type, "obs_data")) return nullptr;
    double min_elevation = 5.0;
    std::uint64_t bin = 60;
    std::optional<std::vector<std::string>> systems;
    if (a[1] && !conv_float(a[1], "min_elevation", min_elevation)) return nullptr;
    if (a[2] && !conv_count(a[2], "time_bin_seconds", bin)) return nullptr;
    if (!absent(a[3])) {
        std::vector<std::string> v;
        if (!conv_text_list(a[3], "systems", v)) return nullptr;
        systems = std::move(v);
    }
    AnalyzerState st;
    st.config = fixed_config(min_elevation, std::nullopt);
    st.config.time_bin_seconds = static_cast<std::uint32_t>(bin);  // low 32 bits
    std::vector<std::string> letters;
    for (char c : system_letters(systems)) letters.emplace_back(1, c);
    st.config.systems = std::move(letters);
    {
        ReadBorrow guard(borrow_of<ObsPayload>(a[0]));
        if (!guard.ok()) return nullptr;
        st.obs = payload_of<ObsPayload>(a[0]);
    }
    return box_new<AnalyzerState>(g_analyzer_type, std::move(st));
}

// ---------------------------------------------------------------- methods
PyObject* set_navigation(PyObject* self, PyObject* args, PyObject* kwargs) {
    WriteBorrow guard(borrow_of<AnalyzerState>(self));
    if (!guard.ok()) return nullptr;
    static const char* const names[] = {"nav_data"};
    PyObject* a[1];
    if (!bind_args("set_navigation", names, 1, 1, args, kwargs, a)) return nullptr;
    if (!conv_instance(a[0], g_navigation_type, "nav_data")) return nullptr;
    NavPayload nav = navigation_payload(a[0]);
    if (!nav) return nullptr;
    state_of(self).nav = std::move(nav);
    Py_RETURN_NONE;
}

PyObject* analyze(PyObject* self, PyObject*) {
    ReadBorrow guard(borrow_of<AnalyzerState>(self));
    if (!guard.ok()) return nullptr;
    const AnalyzerState& st = state_of(self);
    if (!st.obs) return raise(PyExc_ValueError, "No observation data. Use analyze_file() or CN0Analyzer.from_obs()");
    Progress progress(st.config.verbose);
    report_reading(progress, *st.obs, st.nav.get());
    return run(input_from_config(st.config, st.obs, st.nav), progress);
}

PyObject* analyze_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    ReadBorrow guard(borrow_of<AnalyzerState>(self));
    if (!guard.ok()) return nullptr;
    static const char* const names[] = {"obs_path"};
    PyObject* a[1];
    if (!bind_args("analyze_file", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view obs_path;
    if (!conv_text(a[0], "obs_path", obs_path)) return nullptr;
    const AnalyzerState& st = state_of(self);
    Progress progress(st.config.verbose);
    auto obs = load_obs(obs_path, {});
    if (!obs) return nullptr;
    std::shared_ptr<const NavigationData> nav;
    if (st.config.nav_file) {
        nav = load_nav(*st.config.nav_file, {});
        if (!nav) return nullptr;
    }
    report_reading(progress, *obs, nav.get());
    return run(input_from_config(st.config, std::move(obs), std::move(nav)), progress);
}

PyObject* analyze_with_nav(PyObject* self, PyObject* args, PyObject* kwargs) {
    ReadBorrow guard(borrow_of<AnalyzerState>(self));
    if (!guard.ok()) return nullptr;
    static const char* const names[] = {"obs_path", "nav_path"};
    PyObject* a[2];
    if (!bind_args("analyze_with_nav", names, 2, 2, args, kwargs, a)) return nullptr;
    std::string_view obs_path, nav_path;
    if (!conv_text(a[0], "obs_path", obs_path) || !conv_text(a[1], "nav_path", nav_path)) return nullptr;
    const AnalyzerState& st = state_of(self);
    Progress progress(st.config.verbose);
    auto obs = load_obs(obs_path, {});
    if (!obs) return nullptr;
    auto nav = load_nav(nav_path, {});
    if (!nav) return nullptr;
    report_reading(progress, *obs, nav.get());
    return run(input_from_config(st.config, std::move(obs), std::move(nav)), progress);
}

PyObject* analyze_cn0(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"obs_path", "nav_path", "min_elevation", "systems"};
    PyObject* a[4];
    if (!bind_args("analyze_cn0", names, 4, 1, args, kwargs, a)) return nullptr;
    std::string_view obs_path, nav_path;
    double min_elevation = 5.0;
    std::optional<std::vector<std::string>> systems;
    if (!conv_text(a[0], "obs_path", obs_path)) return nullptr;
    if (!absent(a[1]) && !conv_text(a[1], "nav_path", nav_path)) return nullptr;
    if (a[2] && !conv_float(a[2], "min_elevation", min_elevation)) return nullptr;
    if (!absent(a[3])) {
        std::vector<std::string> v;
        if (!conv_text_list(a[3], "systems", v)) return nullptr;
        systems = std::move(v);
    }
    auto obs = load_obs(obs_path, "Cannot read obs file: ");
    if (!obs) return nullptr;
    std::shared_ptr<const NavigationData> nav;
    if (!absent(a[1])) {
        nav = load_nav(nav_path, "Cannot read nav file: ");
        if (!nav) return nullptr;
    }
    Progress progress(false);
    return run(input_from_config(fixed_config(min_elevation, std::move(systems)), std::move(obs), std::move(nav)),
               progress);
}

PyMethodDef kMethods[] = {
    {"from_obs", reinterpret_cast<PyCFunction>(from_obs), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_obs(obs_data, min_elevation=5.0, time_bin_seconds=60, systems=None)\n--\n\n"
     "Alternative constructor from observation data (legacy API)"},
    {"set_navigation", reinterpret_cast<PyCFunction>(set_navigation), METH_VARARGS | METH_KEYWORDS,
     "set_navigation($self, nav_data)\n--\n\nSet navigation data for satellite position computation (old API)"},
    {"analyze", analyze, METH_NOARGS,
     "analyze($self)\n--\n\nRun CN0 analysis (old API - requires obs_data set via from_obs)"},
    {"analyze_file", reinterpret_cast<PyCFunction>(analyze_file), METH_VARARGS | METH_KEYWORDS,
     "analyze_file($self, obs_path)\n--\n\nAnalyze RINEX observation file from path (new API)"},
    {"analyze_with_nav", reinterpret_cast<PyCFunction>(analyze_with_nav), METH_VARARGS | METH_KEYWORDS,
     "analyze_with_nav($self, obs_path, nav_path)\n--\n\nAnalyze with separate navigation file (new API)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("CN0Analyzer(config)\n--\n\n"
                                  "Python wrapper for CN0Analyzer - supports both config-based and direct API")},
    {Py_tp_new, reinterpret_cast<void*>(analyzer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<AnalyzerState>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessora_cn0.CN0Analyzer", sizeof(Box<AnalyzerState>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* add_analyzer_type(PyObject* module) {
    g_analyzer_type = add_type(module, &kSpec);
    return g_analyzer_type;
}

PyMethodDef kAnalyzeCn0Def = {"analyze_cn0", reinterpret_cast<PyCFunction>(analyze_cn0), METH_VARARGS | METH_KEYWORDS,
                              "analyze_cn0(obs_path, nav_path=None, min_elevation=5.0, systems=None)\n--\n\n"
                              "Quick analysis function"};

}  // namespace tessora::py
