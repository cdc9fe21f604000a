// AnalysisResult: the read-only view of one analysis, and QualityScore built from it on demand.
#include <cmath>

#include "cn0/analysis_steps.hpp"
#include "cn0/json.hpp"
#include "cn0/result_views.hpp"
#include "cn0/state.hpp"
#include "common/numbers.hpp"
#include "python/classes.hpp"
#include "columns/result_tables.hpp"
#include "rinex/epoch_time.hpp"

namespace tessora::py {

PyTypeObject* g_analysis_result_type = nullptr;
PyTypeObject* g_quality_score_type = nullptr;

namespace {

using ResultPayload = std::shared_ptr<const AnalysisResult>;

template <typename F>
PyObject* read_result(PyObject* self, F&& f) {
    return with_read<ResultPayload>(self, [&](ResultPayload& p) { return f(*p); });
}

std::string fixed(double v, int decimals) { return format_fixed(v, decimals); }
std::string integer(std::uint64_t v) { return std::to_string(v); }

std::string join(const std::vector<std::string>& items, std::string_view sep) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) s += sep;
        s += items[i];
    }
    return s;
}

// Builds a dict of text keys and text values; returns nullptr on failure.
PyObject* text_dict(std::initializer_list<std::pair<const char*, std::string>> items) {
    Ref d = Ref::steal(make_dict());
    if (!d) return nullptr;
    for (const auto& [k, v] : items)
        if (!dict_set(d.get(), k, make_str(v))) return nullptr;
    return d.release();
}

// ---------------------------------------------------------------- getters
#define RESULT_GETTER(name, expr)                                                          \
    PyObject* name(PyObject* self, void*) {                                               \
        return read_result(self, [](const AnalysisResult& r) -> PyObject* { return expr; }); \
    }

RESULT_GETTER(get_filename, make_str(r.file_info.filename))
// The result does not carry the file's version; the attribute has always read "3.05".
PyObject* get_rinex_version(PyObject* self, void*) {
    return read_result(self, [](const AnalysisResult&) { return make_str("3.05"); });
}
RESULT_GETTER(get_station_name, make_str(r.file_info.marker_name))
RESULT_GETTER(get_receiver_type, make_str(r.file_info.receiver_type))
RESULT_GETTER(get_antenna_type, make_str(r.file_info.antenna_type))
RESULT_GETTER(get_start_time, make_str(r.file_info.start_time))
RESULT_GETTER(get_end_time, make_str(r.file_info.end_time))
RESULT_GETTER(get_duration_hours, make_float(r.file_info.duration_hours))
RESULT_GETTER(get_interval, make_float(r.file_info.interval))
RESULT_GETTER(get_total_observations, make_uint(r.summary.total_observations))
RESULT_GETTER(get_total_satellites, make_uint(r.summary.total_satellites))
RESULT_GETTER(get_total_epochs, make_uint(r.summary.total_epochs))
RESULT_GETTER(get_constellations, make_str_list(r.summary.systems_observed))
RESULT_GETTER(get_mean_cn0, make_float(r.summary.mean_cn0))
RESULT_GETTER(get_min_cn0, make_float(r.summary.min_cn0))
RESULT_GETTER(get_max_cn0, make_float(r.summary.max_cn0))
RESULT_GETTER(get_anomaly_count, make_uint(r.summary.anomaly_count))
RESULT_GETTER(get_critical_count, make_uint(r.summary.critical_count))
RESULT_GETTER(get_jamming_detected, make_bool(jamming_detected(r)))
RESULT_GETTER(get_spoofing_detected, make_bool(spoofing_detected(r)))
RESULT_GETTER(get_interference_detected, make_bool(interference_detected(r)))
RESULT_GETTER(get_score, make_float(r.quality_score.overall))
RESULT_GETTER(get_quality_grade, make_str(r.quality_score.grade))
RESULT_GETTER(get_summary, make_str(r.quality_score.interpretation))
RESULT_GETTER(get_skyplot_coverage, make_float(r.skyplot.coverage_percent))
RESULT_GETTER(get_skyplot_trace_count, make_uint(r.skyplot.traces.size()))
RESULT_GETTER(get_visibility_prediction_source,
              make_str(r.visibility ? std::string_view(r.visibility->prediction_source) : std::string_view("None")))
RESULT_GETTER(get_visibility_confirmation_rate, make_float(r.visibility ? r.visibility->confirmation_rate : 0.0))
RESULT_GETTER(get_visibility_mean_predicted, make_float(r.visibility ? r.visibility->mean_predicted : 0.0))
RESULT_GETTER(get_visibility_mean_observed, make_float(r.visibility ? r.visibility->mean_observed : 0.0))
RESULT_GETTER(get_visibility_mean_missing, make_float(r.visibility ? r.visibility->mean_missing : 0.0))
RESULT_GETTER(get_visibility_mean_unexpected, make_float(r.visibility ? r.visibility->mean_unexpected : 0.0))
RESULT_GETTER(get_has_visibility_prediction, make_bool(r.visibility && r.visibility->has_prediction))
RESULT_GETTER(get_visibility_anomaly_count, make_uint(r.visibility ? r.visibility->anomalies.size() : 0))
RESULT_GETTER(get_position_lat, make_float(r.file_info.position_lat))
RESULT_GETTER(get_position_lon, make_float(r.file_info.position_lon))

RESULT_GETTER(get_cn0_std_dev, make_float(timeseries_cn0_std_dev(r)))

PyObject* get_quality_score(PyObject* self, void*) {
    return read_result(self, [](const AnalysisResult& r) -> PyObject* {
        return box_new<QualityScoreValues>(g_quality_score_type, quality_score_values(r));
    });
}

// ---------------------------------------------------------------- methods
// The JSON text is written without the interpreter lock (a day's result is tens of megabytes).
PyObject* json_text(PyObject* self, bool pretty) {
    return read_result(self, [pretty](const AnalysisResult& r) -> PyObject* {
        std::string text;
        if (!without_gil([&] { text = pretty ? to_json_pretty(r) : to_json(r); })) return nullptr;
        return make_str(text);
    });
}
PyObject* to_json_py(PyObject* self, PyObject*) { return json_text(self, false); }
PyObject* to_json_pretty_py(PyObject* self, PyObject*) { return json_text(self, true); }

// _json_block(key): the compact JSON of one top-level block, the same bytes to_json writes for
// it, without writing the rest (reports read the small blocks of a day's result this way).
PyObject* json_block_py(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"key"};
    PyObject* a[1];
    if (!bind_args("_json_block", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view key;
    if (!conv_text(a[0], "key", key)) return nullptr;
    return read_result(self, [&](const AnalysisResult& r) -> PyObject* {
        std::optional<std::string> text;
        if (!without_gil([&] { text = to_json_block(r, key); })) return nullptr;
        if (!text) return PyErr_Format(PyExc_ValueError, "unknown JSON block: %R", a[0]);
        return make_str(*text);
    });
}

PyObject* get_anomalies(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.anomalies, [](const Anomaly& a) {
            return text_dict({{"start_time", a.timestamp},
                              {"end_time", a.timestamp},
                              {"severity", a.severity},
                              {"anomaly_type", a.event_type},
                              {"description", a.description},
                              {"cn0_drop", format_shortest_plain(a.cn0_drop)},
                              {"affected_satellites", join(a.affected_satellites, ",")},
                              {"affected_systems", join(a.affected_systems, ",")}});
        });
    });
}

PyObject* get_constellation_summary(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"name"};
    PyObject* a[1];
    if (!bind_args("get_constellation_summary", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view name;
    if (!conv_text(a[0], "name", name)) return nullptr;
    return read_result(self, [&](const AnalysisResult& r) -> PyObject* {
        auto it = r.constellation_stats.find(std::string(name));
        if (it == r.constellation_stats.end()) Py_RETURN_NONE;
        const ConstellationStats& c = it->second;
        return text_dict({{"system", c.system},
                          {"constellation", c.system},
                          {"satellite_count", integer(c.satellite_count)},
                          {"satellites_observed", integer(c.satellite_count)},
                          {"satellites_expected", integer(c.satellites_expected)},
                          {"observation_count", integer(c.observation_count)},
                          {"mean_cn0", fixed(c.mean_cn0, 1)},
                          {"cn0_mean", fixed(c.mean_cn0, 1)},
                          {"min_cn0", fixed(c.min_cn0, 1)},
                          {"max_cn0", fixed(c.max_cn0, 1)},
                          {"std_cn0", fixed(c.std_cn0, 2)},
                          {"cn0_std", fixed(c.std_cn0, 2)},
                          {"availability_ratio", fixed(c.availability_ratio, 3)},
                          {"cycle_slips", integer(c.cycle_slips)},
                          {"data_gaps", integer(c.data_gaps)}});
    });
}

PyObject* get_systems(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) { return make_str_list(r.summary.systems_observed); });
}

PyObject* get_timeseries_data(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        const auto as_float = [](double v) { return make_float(v); };
        if (!dict_set(d.get(), "hours", make_list(timeseries_hours(r), as_float)) ||
            !dict_set(d.get(), "mean_cn0", make_list(r.timeseries.mean_cn0, as_float)) ||
            !dict_set(d.get(), "satellite_count",
                      make_list(r.timeseries.satellite_count,
                                [](std::uint64_t v) { return make_float(static_cast<double>(v)); })))
            return nullptr;
        return d.release();
    });
}

PyObject* get_timestamps(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) { return make_str_list(r.timeseries.timestamps); });
}

PyObject* get_timeseries_cn0(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.timeseries.mean_cn0, [](double v) { return make_float(v); });
    });
}

PyObject* get_skyplot_data(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.skyplot.traces, [](const SkyplotTrace& t) {
            std::string az, el, cn;
            for (std::size_t i = 0; i < t.points.size(); ++i) {
                if (i) {
                    az += ',';
                    el += ',';
                    cn += ',';
                }
                append_fixed(az, t.points[i].azimuth, 1);
                append_fixed(el, t.points[i].elevation, 1);
                append_fixed(cn, t.points[i].cn0, 1);
            }
            return text_dict({{"satellite", t.satellite},
                              {"system", t.system},
                              {"azimuths", std::move(az)},
                              {"elevations", std::move(el)},
                              {"cn0_values", std::move(cn)}});
        });
    });
}

template <typename F>
PyObject* visibility_list(PyObject* self, F&& items) {
    return read_result(self, [&](const AnalysisResult& r) -> PyObject* {
        if (!r.visibility) return make_str_list({});
        return make_str_list(items(*r.visibility));
    });
}

PyObject* get_frequently_missing_satellites(PyObject* self, PyObject*) {
    return visibility_list(self, [](const VisibilityResult& v) { return v.frequently_missing; });
}
PyObject* get_frequently_unexpected_satellites(PyObject* self, PyObject*) {
    return visibility_list(self, [](const VisibilityResult& v) { return v.frequently_unexpected; });
}
PyObject* get_visibility_anomaly_types(PyObject* self, PyObject*) {
    return visibility_list(self, [](const VisibilityResult& v) {
        std::vector<std::string> out;
        for (const auto& a : v.anomalies) out.push_back(a.anomaly_type);
        return out;
    });
}
PyObject* get_visibility_anomaly_descriptions(PyObject* self, PyObject*) {
    return visibility_list(self, [](const VisibilityResult& v) {
        std::vector<std::string> out;
        for (const auto& a : v.anomalies) out.push_back(a.description);
        return out;
    });
}

PyObject* visibility_debug(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d || !r.visibility) return d.release();
        const VisibilityResult& v = *r.visibility;
        for (const auto& [key, s] : v.by_system) {
            PyObject* inner = text_dict({{"predicted", integer(s.predicted_satellites)},
                                         {"observed", integer(s.observed_satellites)},
                                         {"confirmation_rate", fixed(s.confirmation_rate, 1)},
                                         {"missing_count", integer(s.missing_satellites.size())},
                                         {"unexpected_count", integer(s.unexpected_satellites.size())},
                                         {"missing_sats", join(s.missing_satellites, ", ")},
                                         {"unexpected_sats", join(s.unexpected_satellites, ", ")}});
            if (!dict_set(d.get(), key, inner)) return nullptr;
        }
        PyObject* overall = text_dict({{"source", v.prediction_source},
                                       {"mean_predicted", fixed(v.mean_predicted, 1)},
                                       {"mean_observed", fixed(v.mean_observed, 1)},
                                       {"mean_missing", fixed(v.mean_missing, 1)},
                                       {"mean_unexpected", fixed(v.mean_unexpected, 1)},
                                       {"confirmation_rate", fixed(v.confirmation_rate, 1)}});
        if (!dict_set(d.get(), "_overall", overall)) return nullptr;
        return d.release();
    });
}

PyObject* get_satellite_count_series(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.timeseries.satellite_count, [](std::uint64_t v) { return make_uint(v); });
    });
}

PyObject* get_satellite_ids(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.satellite_stats, [](const auto& kv) { return make_str(kv.first); });
    });
}

PyObject* get_anomaly_timestamps(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.anomalies, [](const Anomaly& a) { return make_str(a.timestamp); });
    });
}
PyObject* get_anomaly_severities(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.anomalies, [](const Anomaly& a) { return make_str(a.severity); });
    });
}
PyObject* get_anomaly_cn0_drops(PyObject* self, PyObject*) {
    return read_result(self, [](const AnalysisResult& r) {
        return make_list(r.anomalies, [](const Anomaly& a) { return make_float(a.cn0_drop); });
    });
}

PyObject* result_repr(PyObject* self) {
    return read_result(self, [](const AnalysisResult& r) {
        std::string s = "AnalysisResult(observations=";
        append_uint(s, r.summary.total_observations);
        s += ", satellites=";
        append_uint(s, r.summary.total_satellites);
        s += ", epochs=";
        append_uint(s, r.summary.total_epochs);
        s += ", mean_cn0=";
        append_fixed(s, r.summary.mean_cn0, 1);
        s += ", anomalies=";
        append_uint(s, r.summary.anomaly_count);
        s += ')';
        return make_str(s);
    });
}

#define GS(name, fn, doc) {name, fn, nullptr, doc, nullptr}
PyGetSetDef kResultGetSet[] = {
    GS("filename", get_filename, "Get filename"),
    GS("rinex_version", get_rinex_version, "Get RINEX version (placeholder)"),
    GS("station_name", get_station_name, "Get station name (marker name)"),
    GS("receiver_type", get_receiver_type, "Get receiver type"),
    GS("antenna_type", get_antenna_type, "Get antenna type"),
    GS("start_time", get_start_time, "Get start time"),
    GS("end_time", get_end_time, "Get end time"),
    GS("duration_hours", get_duration_hours, "Get duration in hours"),
    GS("interval", get_interval, "Get observation interval"),
    GS("total_observations", get_total_observations, "Get total observations"),
    GS("total_satellites", get_total_satellites, "Get total satellites"),
    GS("total_epochs", get_total_epochs, "Get total epochs (alias: epoch_count)"),
    GS("epoch_count", get_total_epochs, "Get epoch count (alias for total_epochs)"),
    GS("constellations", get_constellations, "Get constellations observed"),
    GS("mean_cn0", get_mean_cn0, "Get mean CN0 (alias: avg_cn0)"),
    GS("avg_cn0", get_mean_cn0, "Get average CN0 (alias for mean_cn0)"),
    GS("min_cn0", get_min_cn0, "Get min CN0"),
    GS("max_cn0", get_max_cn0, "Get max CN0"),
    GS("cn0_std_dev", get_cn0_std_dev, "Get CN0 standard deviation (computed from timeseries)"),
    GS("anomaly_count", get_anomaly_count, "Get anomaly count"),
    GS("critical_count", get_critical_count, "Get critical anomaly count"),
    GS("jamming_detected", get_jamming_detected,
       "Check if jamming detected\nReal jamming causes: severe CN0 drops (>10dB) across MULTIPLE satellites "
       "simultaneously\nAND low average CN0 (<35 dB-Hz) or high percentage of critical anomalies"),
    GS("spoofing_detected", get_spoofing_detected,
       "Check if spoofing detected\nReal spoofing indicators:\n1. Many unexpected satellites (>40% not in ephemeris) "
       "with GOOD signals\n2. Satellites appearing with impossible geometry (wrong hemisphere, etc.)\nNote: Low CN0 "
       "std deviation is NOT a spoofing indicator - it's actually good data!"),
    GS("interference_detected", get_interference_detected,
       "Check if interference detected\nRequires meaningful anomaly count - not just isolated events"),
    GS("quality_score", get_quality_score, "Get quality score object with all metrics"),
    GS("score", get_score, "Get quality score value (alias for overall)"),
    GS("quality_grade", get_quality_grade, "Get quality grade"),
    GS("summary", get_summary, "Get summary interpretation"),
    GS("skyplot_coverage", get_skyplot_coverage, "Get skyplot coverage percent"),
    GS("skyplot_trace_count", get_skyplot_trace_count, "Get number of skyplot traces"),
    GS("visibility_prediction_source", get_visibility_prediction_source, "Get visibility prediction source"),
    GS("visibility_confirmation_rate", get_visibility_confirmation_rate, "Get visibility confirmation rate"),
    GS("visibility_mean_predicted", get_visibility_mean_predicted, "Get mean predicted satellites"),
    GS("visibility_mean_observed", get_visibility_mean_observed, "Get mean observed satellites"),
    GS("visibility_mean_missing", get_visibility_mean_missing, "Get mean missing satellites per epoch"),
    GS("visibility_mean_unexpected", get_visibility_mean_unexpected,
       "Get mean unexpected satellites per epoch (seen but not predicted)"),
    GS("has_visibility_prediction", get_has_visibility_prediction, "Check if visibility prediction is available"),
    GS("visibility_anomaly_count", get_visibility_anomaly_count, "Get visibility anomaly count"),
    GS("position_lat", get_position_lat, "Get receiver latitude"),
    GS("position_lon", get_position_lon, "Get receiver longitude"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* result_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<ResultPayload>(self, [](const ResultPayload& p) { return encode_state(*p); });
}
PyObject* result_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<ResultPayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_result_state);
}

#define M0(name, fn, doc) {name, fn, METH_NOARGS, name "($self)\n--\n\n" doc}
PyObject* points_py(PyObject* self, PyObject*) {
    return with_read<ResultPayload>(self, [](ResultPayload& r) { return make_table([&] { return points_table(*r); }); });
}
PyObject* timeseries_py(PyObject* self, PyObject*) {
    return with_read<ResultPayload>(self, [](ResultPayload& r) { return make_table([&] { return timeseries_table(*r); }); });
}
PyObject* anomalies_py(PyObject* self, PyObject*) {
    return with_read<ResultPayload>(self, [](ResultPayload& r) { return make_table([&] { return anomalies_table(*r); }); });
}

PyMethodDef kResultMethods[] = {
    M0("to_json", to_json_py, "Convert to JSON string"),
    M0("to_json_pretty", to_json_pretty_py, "Convert to pretty JSON string"),
    M0("get_anomalies", get_anomalies, "Get anomalies list"),
    M0("points", points_py,
       "The accepted CN0 points of the analysis as a Table: time, sv, system, code, cn0, azimuth, elevation"),
    M0("timeseries", timeseries_py, "The time series as a Table: time, mean_cn0, satellite_count"),
    M0("anomalies", anomalies_py,
       "The CN0-drop anomalies as a Table: time, severity, event_type, description, cn0_drop, "
       "affected_satellites, affected_systems"),
    {"get_constellation_summary", reinterpret_cast<PyCFunction>(get_constellation_summary),
     METH_VARARGS | METH_KEYWORDS, "get_constellation_summary($self, name)\n--\n\nGet constellation summary by name"},
    M0("get_systems", get_systems, "Get systems observed"),
    M0("get_timeseries_data", get_timeseries_data, "Get timeseries data as dict"),
    M0("get_timestamps", get_timestamps, "Get timeseries timestamps"),
    M0("get_timeseries_cn0", get_timeseries_cn0, "Get timeseries mean CN0 values"),
    M0("get_skyplot_data", get_skyplot_data, "Get skyplot data as list of trace dicts"),
    M0("get_frequently_missing_satellites", get_frequently_missing_satellites,
       "Get frequently missing satellites (possible obstructions)"),
    M0("get_frequently_unexpected_satellites", get_frequently_unexpected_satellites,
       "Get frequently unexpected satellites (possible spoofing)"),
    M0("get_visibility_anomaly_types", get_visibility_anomaly_types, "Get visibility anomaly types"),
    M0("get_visibility_anomaly_descriptions", get_visibility_anomaly_descriptions,
       "Get visibility anomaly descriptions"),
    M0("visibility_debug", visibility_debug, "Get detailed visibility debug info per system"),
    M0("get_mean_cn0_series", get_timeseries_cn0, "Get timeseries mean CN0 values"),
    M0("get_satellite_count_series", get_satellite_count_series, "Get timeseries satellite counts"),
    M0("get_satellite_ids", get_satellite_ids, "Get satellite IDs"),
    M0("get_anomaly_timestamps", get_anomaly_timestamps, "Get anomaly timestamps"),
    M0("get_anomaly_severities", get_anomaly_severities, "Get anomaly severities"),
    M0("get_anomaly_cn0_drops", get_anomaly_cn0_drops, "Get anomaly CN0 drops"),
    {"__reduce__", result_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", result_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {"_json_block", reinterpret_cast<PyCFunction>(json_block_py), METH_VARARGS | METH_KEYWORDS,
     "_json_block($self, key)\n--\n\nThe compact JSON of one top-level block, as to_json writes it"},
    {nullptr, nullptr, 0, nullptr},
};

// Freeing a day file's result frees tens of thousands of heap blocks (a few milliseconds). The
// last owner of a large result frees it without the interpreter lock, so that threads dropping
// their results do not take turns; nothing of Python is touched meanwhile.
void result_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    ResultPayload& slot = payload_of<ResultPayload>(self);
    ResultPayload last = std::move(slot);
    slot.~ResultPayload();
    constexpr std::uint64_t kLargeResult = 20000;  // accepted CN0 values
    if (last && last.use_count() == 1 && last->summary.total_observations >= kLargeResult) {
        Py_BEGIN_ALLOW_THREADS
        last.reset();
        Py_END_ALLOW_THREADS
    }
    last.reset();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot kResultSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for AnalysisResult")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_getset, kResultGetSet},
    {Py_tp_methods, kResultMethods},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {0, nullptr},
};

PyType_Spec kResultSpec = {"tessora_cn0.AnalysisResult", sizeof(Box<ResultPayload>), 0, Py_TPFLAGS_DEFAULT,
                           kResultSlots};

// ---------------------------------------------------------------- QualityScore
template <typename F>
PyObject* read_quality(PyObject* self, F&& f) {
    return with_read<QualityScoreValues>(self, [&](QualityScoreValues& q) { return f(q); });
}

#define QS_GETTER(name, expr)                                                                 \
    PyObject* name(PyObject* self, void*) {                                                  \
        return read_quality(self, [](const QualityScoreValues& q) -> PyObject* { return expr; }); \
    }
QS_GETTER(qs_overall, make_float(q.overall))
QS_GETTER(qs_rating, make_str(q.rating))
QS_GETTER(qs_cn0_quality, make_float(q.cn0_quality))
QS_GETTER(qs_availability, make_float(q.availability))
QS_GETTER(qs_continuity, make_float(q.continuity))
QS_GETTER(qs_stability, make_float(q.stability))
QS_GETTER(qs_diversity, make_float(q.diversity))
QS_GETTER(qs_post_processing_suitable, make_bool(q.post_processing_suitable))

PyObject* qs_repr(PyObject* self) {
    return read_quality(self, [](const QualityScoreValues& q) { return make_str(quality_score_repr(q)); });
}

PyObject* qs_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<QualityScoreValues>(self, [](const QualityScoreValues& q) { return encode_state(q); });
}
PyObject* qs_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<QualityScoreValues>(reinterpret_cast<PyTypeObject*>(cls), state, decode_quality_state);
}

PyMethodDef kQualityMethods[] = {
    {"__reduce__", qs_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", qs_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kQualityGetSet[] = {
    GS("overall", qs_overall, "Weighted overall score (0-100)"),
    GS("rating", qs_rating, "Rating text, e.g. 'B - Good'"),
    GS("cn0_quality", qs_cn0_quality, "CN0 level score (0-100)"),
    GS("availability", qs_availability, "Tracked versus expected satellites (0-100)"),
    GS("continuity", qs_continuity, "Absence of data gaps (0-100)"),
    GS("stability", qs_stability, "Smallness of the per-constellation CN0 spread (0-100)"),
    GS("diversity", qs_diversity, "Number of constellations (0-100)"),
    GS("post_processing_suitable", qs_post_processing_suitable, "Whether the data suit post-processing"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kQualitySlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for QualityScore with notebook-compatible attributes")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<QualityScoreValues>)},
    {Py_tp_getset, kQualityGetSet},
    {Py_tp_methods, kQualityMethods},
    {Py_tp_repr, reinterpret_cast<void*>(qs_repr)},
    {0, nullptr},
};

PyType_Spec kQualitySpec = {"tessora_cn0.QualityScore", sizeof(Box<QualityScoreValues>), 0, Py_TPFLAGS_DEFAULT,
                            kQualitySlots};

}  // namespace

PyTypeObject* add_analysis_result_type(PyObject* module) {
    g_analysis_result_type = add_type(module, &kResultSpec);
    return g_analysis_result_type;
}

PyTypeObject* add_quality_score_type(PyObject* module) {
    g_quality_score_type = add_type(module, &kQualitySpec);
    return g_quality_score_type;
}

PyObject* wrap_analysis_result(AnalysisResult&& result) {
    return box_new<ResultPayload>(g_analysis_result_type, std::make_shared<const AnalysisResult>(std::move(result)));
}

}  // namespace tessora::py
