// CN0Analyzer and analyze_cn0: gather observations, navigation and settings, run the pipeline and
// wrap its record in an AnalysisResult.

#include "cn0/analyze.hpp"
#include "cn0/config.hpp"
#include "python/classes.hpp"

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

}  // namespace

ProgressSink stderr_progress(bool verbose) {
    if (!verbose) return {};
    return [](std::string_view text) {
        const std::string line(text);
        const PyGILState_STATE g = PyGILState_Ensure();
        PySys_WriteStderr("tessora_cn0: %.900s\n", line.c_str());
        PyGILState_Release(g);
    };
}

namespace {

// Reads the files and analyses them without the interpreter lock; raises IOError (with the
// prefix of the file that could not be read) or ValueError (the reader's message).
PyObject* analyze_paths(std::string_view obs_path, const std::string* nav_path, const AnalysisConfig& config,
                        std::string_view obs_prefix, std::string_view nav_prefix) {
    AnalysisOutcome out;
    if (!without_gil([&] { out = analyze_files(obs_path, nav_path, config, stderr_progress(config.verbose)); }))
        return nullptr;
    switch (out.failure) {
        case AnalysisFailure::none: return wrap_analysis_result(std::move(out.result));
        case AnalysisFailure::obs_unreadable: return raise(PyExc_OSError, std::string(obs_prefix) + out.message);
        case AnalysisFailure::nav_unreadable: return raise(PyExc_OSError, std::string(nav_prefix) + out.message);
        default: return raise(PyExc_ValueError, out.message);
    }
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
    st.config = quick_analysis_config(min_elevation, std::nullopt);
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
    AnalysisResult result;
    if (!without_gil([&] { result = analyze_records(st.config, st.obs, st.nav, stderr_progress(st.config.verbose)); }))
        return nullptr;
    return wrap_analysis_result(std::move(result));
}

PyObject* analyze_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    ReadBorrow guard(borrow_of<AnalyzerState>(self));
    if (!guard.ok()) return nullptr;
    static const char* const names[] = {"obs_path"};
    PyObject* a[1];
    if (!bind_args("analyze_file", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view obs_path;
    if (!conv_text(a[0], "obs_path", obs_path)) return nullptr;
    const AnalysisConfig& config = state_of(self).config;
    return analyze_paths(obs_path, config.nav_file ? &*config.nav_file : nullptr, config, {}, {});
}

PyObject* analyze_with_nav(PyObject* self, PyObject* args, PyObject* kwargs) {
    ReadBorrow guard(borrow_of<AnalyzerState>(self));
    if (!guard.ok()) return nullptr;
    static const char* const names[] = {"obs_path", "nav_path"};
    PyObject* a[2];
    if (!bind_args("analyze_with_nav", names, 2, 2, args, kwargs, a)) return nullptr;
    std::string_view obs_path, nav_path;
    if (!conv_text(a[0], "obs_path", obs_path) || !conv_text(a[1], "nav_path", nav_path)) return nullptr;
    const std::string nav(nav_path);
    return analyze_paths(obs_path, &nav, state_of(self).config, {}, {});
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
    const std::string nav(nav_path);
    return analyze_paths(obs_path, absent(a[1]) ? nullptr : &nav, quick_analysis_config(min_elevation, std::move(systems)),
                         kObsReadPrefix, kNavReadPrefix);
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
