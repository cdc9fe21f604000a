// AnalysisConfig class: the immutable settings record of an analysis, built from keyword or
// positional arguments and read through read-only attributes.
#include <limits>

#include "cn0/config.hpp"
#include "cn0/state.hpp"
#include "python/classes.hpp"

namespace tessora::py {

PyTypeObject* g_analysis_config_type = nullptr;

namespace {

// An optional time-bin width: None, or an integer that fits 32 unsigned bits.
bool conv_time_bin(PyObject* o, const char* name, std::optional<std::uint32_t>& out) {
    if (absent(o)) return true;
    std::uint64_t v = 0;
    if (!conv_count(o, name, v)) return false;
    if (v > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {
        "min_elevation",         "min_cn0",
        "max_cn0",               "time_bin_seconds",
        "time_bin",              "systems",
        "anomaly_threshold_low", "anomaly_threshold_high",
        "anomaly_threshold_critical", "detect_anomalies",
        "anomaly_sensitivity",   "interference_threshold_db",
        "verbose",               "nav_file",
    };
    constexpr Py_ssize_t n = sizeof names / sizeof names[0];
    PyObject* a[n];
    if (!bind_args("AnalysisConfig", names, n, 0, args, kwargs, a)) return nullptr;

    // Converted in parameter order: the first failure is the one reported.
    AnalysisConfigArgs c;
    if (a[0] && !conv_float(a[0], names[0], c.min_elevation)) return nullptr;
    if (a[1] && !conv_float(a[1], names[1], c.min_cn0)) return nullptr;
    if (a[2] && !conv_float(a[2], names[2], c.max_cn0)) return nullptr;
    if (!conv_time_bin(a[3], names[3], c.time_bin_seconds)) return nullptr;
    if (!conv_time_bin(a[4], names[4], c.time_bin)) return nullptr;
    if (!absent(a[5])) {
        std::vector<std::string> systems;
        if (!conv_text_list(a[5], names[5], systems)) return nullptr;
        c.systems = std::move(systems);
    }
    if (a[6] && !conv_float(a[6], names[6], c.anomaly_threshold_low)) return nullptr;
    if (a[7] && !conv_float(a[7], names[7], c.anomaly_threshold_high)) return nullptr;
    if (a[8] && !conv_float(a[8], names[8], c.anomaly_threshold_critical)) return nullptr;
    if (a[9] && !conv_bool(a[9], names[9], c.detect_anomalies)) return nullptr;
    if (a[10] && !conv_float(a[10], names[10], c.anomaly_sensitivity)) return nullptr;
    if (a[11] && !conv_float(a[11], names[11], c.interference_threshold_db)) return nullptr;
    if (a[12] && !conv_bool(a[12], names[12], c.verbose)) return nullptr;
    if (!absent(a[13])) {
        std::string_view nav;
        if (!conv_text(a[13], names[13], nav)) return nullptr;
        c.nav_file = std::string(nav);
    }
    ConfigPayload payload = std::make_shared<const AnalysisConfig>(make_analysis_config(std::move(c)));
    return box_new<ConfigPayload>(type, std::move(payload));
}

template <typename F>
PyObject* read_config(PyObject* self, F&& f) {
    return with_read<ConfigPayload>(self, [&](ConfigPayload& p) { return f(*p); });
}

#define FLOAT_GETTER(field)                                                                        \
    PyObject* get_##field(PyObject* self, void*) {                                                 \
        return read_config(self, [](const AnalysisConfig& c) { return make_float(c.field); });     \
    }
FLOAT_GETTER(min_elevation)
FLOAT_GETTER(min_cn0)
FLOAT_GETTER(max_cn0)
FLOAT_GETTER(anomaly_threshold_low)
FLOAT_GETTER(anomaly_threshold_high)
FLOAT_GETTER(anomaly_threshold_critical)
FLOAT_GETTER(anomaly_sensitivity)
FLOAT_GETTER(interference_threshold_db)
#undef FLOAT_GETTER

PyObject* get_time_bin_seconds(PyObject* self, void*) {
    return read_config(self, [](const AnalysisConfig& c) { return make_uint(c.time_bin_seconds); });
}
PyObject* get_detect_anomalies(PyObject* self, void*) {
    return read_config(self, [](const AnalysisConfig& c) { return make_bool(c.detect_anomalies); });
}
PyObject* get_verbose(PyObject* self, void*) {
    return read_config(self, [](const AnalysisConfig& c) { return make_bool(c.verbose); });
}
PyObject* get_systems(PyObject* self, void*) {
    return read_config(self, [](const AnalysisConfig& c) -> PyObject* {
        if (!c.systems) return Py_NewRef(Py_None);
        return make_str_list(*c.systems);
    });
}
PyObject* get_nav_file(PyObject* self, void*) {
    return read_config(self, [](const AnalysisConfig& c) -> PyObject* {
        if (!c.nav_file) return Py_NewRef(Py_None);
        return make_str(*c.nav_file);
    });
}

PyObject* config_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<ConfigPayload>(self, [](const ConfigPayload& p) { return encode_state(*p); });
}
PyObject* config_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<ConfigPayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_config_state);
}

PyMethodDef kMethods[] = {
    {"__reduce__", config_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", config_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"min_elevation", get_min_elevation, nullptr, nullptr, nullptr},
    {"min_cn0", get_min_cn0, nullptr, nullptr, nullptr},
    {"max_cn0", get_max_cn0, nullptr, nullptr, nullptr},
    {"time_bin_seconds", get_time_bin_seconds, nullptr, nullptr, nullptr},
    {"systems", get_systems, nullptr, nullptr, nullptr},
    {"anomaly_threshold_low", get_anomaly_threshold_low, nullptr, nullptr, nullptr},
    {"anomaly_threshold_high", get_anomaly_threshold_high, nullptr, nullptr, nullptr},
    {"anomaly_threshold_critical", get_anomaly_threshold_critical, nullptr, nullptr, nullptr},
    {"detect_anomalies", get_detect_anomalies, nullptr, nullptr, nullptr},
    {"anomaly_sensitivity", get_anomaly_sensitivity, nullptr, nullptr, nullptr},
    {"interference_threshold_db", get_interference_threshold_db, nullptr, nullptr, nullptr},
    {"verbose", get_verbose, nullptr, nullptr, nullptr},
    {"nav_file", get_nav_file, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "AnalysisConfig(min_elevation=5.0, min_cn0=0.0, max_cn0=60.0, time_bin_seconds=None, "
                    "time_bin=None, systems=None, anomaly_threshold_low=3.0, anomaly_threshold_high=6.0, "
                    "anomaly_threshold_critical=10.0, detect_anomalies=True, anomaly_sensitivity=0.5, "
                    "interference_threshold_db=6.0, verbose=False, nav_file=None)\n--\n\n"
                    "Python wrapper for AnalysisConfig")},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ConfigPayload>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessora_cn0.AnalysisConfig", sizeof(Box<ConfigPayload>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* add_analysis_config_type(PyObject* module) {
    g_analysis_config_type = add_type(module, &kSpec);
    return g_analysis_config_type;
}

const ConfigPayload& analysis_config_of(PyObject* obj) { return payload_of<ConfigPayload>(obj); }

}  // namespace tessora::py
