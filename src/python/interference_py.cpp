// detect_interference and the classes of its result: InterferenceReport, InterferenceEvent and
// CN0Template.
#include <cmath>

#include "cn0/analyze.hpp"
#include "cn0/config.hpp"
#include "cn0/state.hpp"
#include "interference/detect.hpp"
#include "python/classes.hpp"
#include "columns/result_tables.hpp"

namespace tessora::py {

PyTypeObject* g_interference_report_type = nullptr;
PyTypeObject* g_interference_event_type = nullptr;
PyTypeObject* g_cn0_template_type = nullptr;

namespace {

using ReportPayload = std::shared_ptr<const InterferenceReport>;
using TemplatePayload = std::shared_ptr<const CN0Template>;
using EventPayload = InterferenceEvent;

PyObject* make_optional_float(const std::optional<double>& v) {
    if (!v) Py_RETURN_NONE;
    return make_float(*v);
}

PyObject* float_list(const std::vector<double>& v) {
    return make_list(v, [](double x) { return make_float(x); });
}

template <typename T>
PyObject* count_list(const std::vector<T>& v) {
    return make_list(v, [](T x) { return make_uint(x); });
}

// ---------------------------------------------------------------- CN0Template
template <typename F>
PyObject* read_template(PyObject* self, F&& f) {
    return with_read<TemplatePayload>(self, [&](TemplatePayload& p) { return f(*p); });
}

PyObject* template_station(PyObject* self, void*) {
    return read_template(self, [](const CN0Template& t) { return make_str(t.station); });
}
PyObject* template_start(PyObject* self, void*) {
    return read_template(self, [](const CN0Template& t) { return make_str(t.start_time); });
}
PyObject* template_end(PyObject* self, void*) {
    return read_template(self, [](const CN0Template& t) { return make_str(t.end_time); });
}
PyObject* template_signals(PyObject* self, void*) {
    return read_template(self, [](const CN0Template& t) {
        return make_list(t.signals, [](const SignalTemplate& s) -> PyObject* {
            PyObject* tuple = Py_BuildValue("(s#s#)", s.system.data(), static_cast<Py_ssize_t>(s.system.size()),
                                            s.code.data(), static_cast<Py_ssize_t>(s.code.size()));
            return tuple ? tuple : internal_error("Python API call failed");
        });
    });
}

PyObject* template_curve(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"system", "code"};
    PyObject* a[2];
    if (!bind_args("curve", names, 2, 2, args, kwargs, a)) return nullptr;
    std::string_view system, code;
    if (!conv_text(a[0], "system", system) || !conv_text(a[1], "code", code)) return nullptr;
    return read_template(self, [&](const CN0Template& t) -> PyObject* {
        const SignalTemplate* s = t.find(system, code);
        if (!s) Py_RETURN_NONE;
        std::vector<double> centres(kTemplateBins);
        for (std::size_t k = 0; k < kTemplateBins; ++k) centres[k] = (static_cast<double>(k) + 0.5) * kTemplateBinWidth;
        Ref d = Ref::steal(make_dict());
        if (!d || !dict_set(d.get(), "band", make_str(s->band)) || !dict_set(d.get(), "elevation", float_list(centres)) ||
            !dict_set(d.get(), "cn0", float_list(s->cn0)) || !dict_set(d.get(), "counts", count_list(s->counts)) ||
            !dict_set(d.get(), "floor", make_float(s->floor)) ||
            !dict_set(d.get(), "low_elevation", make_float(s->low_elevation)))
            return nullptr;
        return d.release();
    });
}

PyObject* template_to_json(PyObject* self, PyObject*) {
    return read_template(self, [](const CN0Template& t) { return make_str(to_json(t)); });
}

PyObject* template_repr_py(PyObject* self) {
    return read_template(self, [](const CN0Template& t) { return make_str(template_repr(t)); });
}

PyObject* template_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<TemplatePayload>(self, [](const TemplatePayload& p) { return encode_state(*p); });
}
PyObject* template_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<TemplatePayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_template_state);
}

// Reads one member of a parsed JSON object: a str, a float or a list of numbers.
bool json_text(PyObject* obj, const char* key, std::string& out) {
    PyObject* v = PyDict_GetItemString(obj, key);  // borrowed
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_ValueError, "invalid CN0Template JSON: '%s' must be a string", key);
        return false;
    }
    std::string_view s;
    if (!conv_text(v, key, s)) return false;
    out.assign(s);
    return true;
}
bool json_number(PyObject* obj, const char* key, double& out) {
    PyObject* v = PyDict_GetItemString(obj, key);
    if (!v || !(PyFloat_Check(v) || PyLong_Check(v)) || PyBool_Check(v)) {
        PyErr_Format(PyExc_ValueError, "invalid CN0Template JSON: '%s' must be a number", key);
        return false;
    }
    out = PyFloat_AsDouble(v);
    return !(out == -1.0 && PyErr_Occurred());
}
template <typename T>
bool json_numbers(PyObject* obj, const char* key, std::vector<T>& out) {
    PyObject* v = PyDict_GetItemString(obj, key);
    if (!v || !PyList_Check(v) || PyList_GET_SIZE(v) != static_cast<Py_ssize_t>(kTemplateBins)) {
        PyErr_Format(PyExc_ValueError, "invalid CN0Template JSON: '%s' must be a list of %zu numbers", key,
                     kTemplateBins);
        return false;
    }
    out.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        PyObject* x = PyList_GET_ITEM(v, i);
        if (!(PyFloat_Check(x) || PyLong_Check(x)) || PyBool_Check(x)) {
            PyErr_Format(PyExc_ValueError, "invalid CN0Template JSON: '%s' must be a list of %zu numbers", key,
                         kTemplateBins);
            return false;
        }
        const double d = PyFloat_AsDouble(x);
        if (d == -1.0 && PyErr_Occurred()) return false;
        if constexpr (std::is_integral_v<T>) {
            if (!(d >= 0.0 && d < 1.8e19)) {
                PyErr_Format(PyExc_ValueError, "invalid CN0Template JSON: '%s' must hold counts", key);
                return false;
            }
        }
        out.push_back(static_cast<T>(d));
    }
    return true;
}

// The optional "offsets" of a signal: an object of satellite -> [offset dB, samples] (templates
// written before offsets were kept have none). Kept in ascending satellite order.
bool json_offsets(PyObject* signal, std::vector<SatelliteOffset>& out) {
    PyObject* v = PyDict_GetItemString(signal, "offsets");
    if (!v) return true;
    const auto bad = [] {
        raise(PyExc_ValueError, "invalid CN0Template JSON: 'offsets' must map satellites to [dB, samples]");
        return false;
    };
    if (!PyDict_Check(v)) return bad();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(v, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyList_Check(value) || PyList_GET_SIZE(value) != 2) return bad();
        PyObject* db = PyList_GET_ITEM(value, 0);
        PyObject* samples = PyList_GET_ITEM(value, 1);
        if (!(PyFloat_Check(db) || PyLong_Check(db)) || PyBool_Check(db) || !PyLong_Check(samples) || PyBool_Check(samples))
            return bad();
        SatelliteOffset o;
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &n);
        if (!text) return false;
        o.satellite.assign(text, static_cast<std::size_t>(n));
        o.db = PyFloat_AsDouble(db);
        if (o.db == -1.0 && PyErr_Occurred()) return false;
        const unsigned long long count = PyLong_AsUnsignedLongLong(samples);
        if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return bad();
        }
        if (o.satellite.empty() || !std::isfinite(o.db)) return bad();
        o.samples = count;
        out.push_back(std::move(o));
    }
    std::sort(out.begin(), out.end(), [](const SatelliteOffset& a, const SatelliteOffset& b) { return a.satellite < b.satellite; });
    return true;
}

bool template_from_dict(PyObject* d, CN0Template& t) {
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_ValueError, "invalid CN0Template JSON: not an object");
        return false;
    }
    if (!json_text(d, "station", t.station) || !json_text(d, "start_time", t.start_time) ||
        !json_text(d, "end_time", t.end_time))
        return false;
    PyObject* signals = PyDict_GetItemString(d, "signals");
    if (!signals || !PyList_Check(signals)) {
        PyErr_SetString(PyExc_ValueError, "invalid CN0Template JSON: 'signals' must be a list");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(signals); ++i) {
        PyObject* item = PyList_GET_ITEM(signals, i);
        if (!PyDict_Check(item)) {
            PyErr_SetString(PyExc_ValueError, "invalid CN0Template JSON: a signal is not an object");
            return false;
        }
        SignalTemplate s;
        if (!json_text(item, "system", s.system) || !json_text(item, "code", s.code) ||
            !json_text(item, "band", s.band) || !json_numbers(item, "cn0", s.cn0) ||
            !json_numbers(item, "counts", s.counts) || !json_number(item, "floor", s.floor) ||
            !json_number(item, "low_elevation", s.low_elevation) || !json_offsets(item, s.offsets))
            return false;
        t.signals.push_back(std::move(s));
    }
    return true;
}

PyObject* template_from_json(PyObject* cls, PyObject* arg) {
    std::string_view text;
    if (!conv_text(arg, "text", text)) return nullptr;
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallMethod(json.get(), "loads", "O", arg));
    if (!parsed) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
        return raise(PyExc_ValueError, "invalid CN0Template JSON: not a JSON text");
    }
    CN0Template t;
    if (!template_from_dict(parsed.get(), t)) return nullptr;
    return box_new<TemplatePayload>(reinterpret_cast<PyTypeObject*>(cls), std::make_shared<const CN0Template>(std::move(t)));
}

PyGetSetDef kTemplateGetSet[] = {
    {"station", template_station, nullptr, "Marker name of the recording the template was learned from", nullptr},
    {"start_time", template_start, nullptr, "First epoch of the recording it was learned from", nullptr},
    {"end_time", template_end, nullptr, "Last epoch of the recording it was learned from", nullptr},
    {"signals", template_signals, nullptr, "The (system, code) pairs with a curve", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTemplateMethods[] = {
    {"curve", reinterpret_cast<PyCFunction>(template_curve), METH_VARARGS | METH_KEYWORDS,
     "curve($self, system, code)\n--\n\nExpected CN0 against elevation of one signal (None when it has no curve)"},
    {"to_json", template_to_json, METH_NOARGS, "to_json($self)\n--\n\nThe template as JSON text"},
    {"from_json", template_from_json, METH_O | METH_CLASS,
     "from_json($cls, text, /)\n--\n\nA template from the JSON text to_json wrote"},
    {"__reduce__", template_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", template_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kTemplateSlots[] = {
    {Py_tp_doc, const_cast<char*>("Expected CN0 against elevation for each signal of a station")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<TemplatePayload>)},
    {Py_tp_getset, kTemplateGetSet},
    {Py_tp_methods, kTemplateMethods},
    {Py_tp_repr, reinterpret_cast<void*>(template_repr_py)},
    {0, nullptr},
};
PyType_Spec kTemplateSpec = {"tessora_cn0.CN0Template", sizeof(Box<TemplatePayload>), 0, Py_TPFLAGS_DEFAULT,
                             kTemplateSlots};

// ---------------------------------------------------------------- InterferenceEvent
template <typename F>
PyObject* read_event(PyObject* self, F&& f) {
    return with_read<EventPayload>(self, [&](EventPayload& e) { return f(e); });
}

#define EVENT_GETTER(name, expr)                                                             \
    PyObject* name(PyObject* self, void*) {                                                 \
        return read_event(self, [](const InterferenceEvent& e) -> PyObject* { return expr; }); \
    }
EVENT_GETTER(event_start, make_str(e.start))
EVENT_GETTER(event_end, make_str(e.end))
EVENT_GETTER(event_peak_time, make_str(e.peak_time))
EVENT_GETTER(event_duration, make_float(e.duration))
EVENT_GETTER(event_peak, make_float(e.peak_degradation_db))
EVENT_GETTER(event_bands, make_str_list(e.bands))
EVENT_GETTER(event_systems, make_str_list(e.systems))
EVENT_GETTER(event_affected, make_str_list(e.satellites_affected))
EVENT_GETTER(event_lost, make_str_list(e.satellites_lost))
EVENT_GETTER(event_kind, make_str(e.kind))
EVENT_GETTER(event_statistic, make_float(e.statistic))
#undef EVENT_GETTER

PyObject* event_degradation(PyObject* self, void*) {
    return read_event(self, [](const InterferenceEvent& e) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const BandDegradation& b : e.degradation_db)
            if (!dict_set(d.get(), b.band, make_float(b.value))) return nullptr;
        return d.release();
    });
}

PyObject* event_repr_py(PyObject* self) {
    return read_event(self, [](const InterferenceEvent& e) { return make_str(event_repr(e)); });
}
PyObject* event_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<EventPayload>(self, [](const EventPayload& e) { return encode_state(e); });
}
PyObject* event_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<EventPayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_event_state);
}

PyGetSetDef kEventGetSet[] = {
    {"start", event_start, nullptr, "First epoch of the event", nullptr},
    {"end", event_end, nullptr, "Last epoch of the event", nullptr},
    {"peak_time", event_peak_time, nullptr, "Epoch of the largest degradation", nullptr},
    {"duration", event_duration, nullptr, "Seconds from the first to the last epoch", nullptr},
    {"peak_degradation_db", event_peak, nullptr, "Largest degradation over the bands (dB)", nullptr},
    {"degradation_db", event_degradation, nullptr, "Peak degradation per affected band (dB)", nullptr},
    {"bands", event_bands, nullptr, "Affected frequency bands", nullptr},
    {"systems", event_systems, nullptr, "Constellations of the affected satellites", nullptr},
    {"satellites_affected", event_affected, nullptr, "Satellites whose CN0 fell with the band, or that were lost",
     nullptr},
    {"satellites_lost", event_lost, nullptr, "Satellites tracked before and expected, but missing during the event",
     nullptr},
    {"kind", event_kind, nullptr, "'wideband', 'band-limited' or 'spoofing-like'", nullptr},
    {"statistic", event_statistic, nullptr, "Largest standardised test statistic in the event", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kEventMethods[] = {
    {"__reduce__", event_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", event_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kEventSlots[] = {
    {Py_tp_doc, const_cast<char*>("One interference event: when, how strong, where in the spectrum")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EventPayload>)},
    {Py_tp_getset, kEventGetSet},
    {Py_tp_methods, kEventMethods},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr_py)},
    {0, nullptr},
};
PyType_Spec kEventSpec = {"tessora_cn0.InterferenceEvent", sizeof(Box<EventPayload>), 0, Py_TPFLAGS_DEFAULT,
                          kEventSlots};

// ---------------------------------------------------------------- InterferenceReport
template <typename F>
PyObject* read_report(PyObject* self, F&& f) {
    return with_read<ReportPayload>(self, [&](ReportPayload& p) { return f(p); });
}

#define REPORT_GETTER(name, expr)                                                          \
    PyObject* name(PyObject* self, void*) {                                               \
        return read_report(self, [](const ReportPayload& p) -> PyObject* {                \
            const InterferenceReport& r = *p;                                             \
            return expr;                                                                  \
        });                                                                               \
    }
REPORT_GETTER(report_filename, make_str(r.filename))
REPORT_GETTER(report_station, make_str(r.station))
REPORT_GETTER(report_latitude, make_optional_float(r.latitude))
REPORT_GETTER(report_longitude, make_optional_float(r.longitude))
REPORT_GETTER(report_mode, make_str(r.mode))
REPORT_GETTER(report_reason, make_str(r.reason))
REPORT_GETTER(report_epochs, make_uint(r.epochs))
REPORT_GETTER(report_signals, make_uint(r.signals))
REPORT_GETTER(report_trigger, make_float(r.trigger_sigma))
REPORT_GETTER(report_threshold, make_optional_float(r.threshold_db))
REPORT_GETTER(report_false_alarms, make_float(r.false_alarms_per_day))
REPORT_GETTER(report_spoofing_judged, make_bool(r.spoofing_judged))
REPORT_GETTER(report_timestamps, make_str_list(r.timestamps))
#undef REPORT_GETTER

PyObject* report_events(PyObject* self, void*) {
    return read_report(self, [](const ReportPayload& p) {
        return make_list(p->events, [](const InterferenceEvent& e) {
            return box_new<EventPayload>(g_interference_event_type, InterferenceEvent(e));
        });
    });
}

PyObject* report_bands(PyObject* self, void*) {
    return read_report(self, [](const ReportPayload& p) {
        return make_list(p->series, [](const BandSeries& s) { return make_str(s.band); });
    });
}

PyObject* report_series(PyObject* self, void*) {
    return read_report(self, [](const ReportPayload& p) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const BandSeries& s : p->series) {
            Ref item = Ref::steal(make_dict());
            if (!item || !dict_set(item.get(), "degradation", float_list(s.degradation)) ||
                !dict_set(item.get(), "tracked", count_list(s.tracked)) ||
                !dict_set(item.get(), "lost", count_list(s.lost)) ||
                !dict_set(item.get(), "noise_db", make_float(s.noise_db)) ||
                !dict_set(item.get(), "trigger_sigma", make_float(s.trigger_sigma)) ||
                !dict_set(item.get(), "threshold_db", make_float(s.threshold_db)) ||
                !dict_set(item.get(), "statistic", float_list(s.statistic)) ||
                !dict_set(item.get(), "tail_level", make_float(s.tail_level)) ||
                !dict_set(item.get(), "tail_decay", make_float(s.tail_decay)) ||
                !dict_set(item.get(), "tail_rate", make_float(s.tail_rate)) ||
                !dict_set(d.get(), s.band, item.release()))
                return nullptr;
        }
        return d.release();
    });
}

PyObject* report_clouds(PyObject* self, void*) {
    return read_report(self, [](const ReportPayload& p) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const BandCloud& c : p->clouds) {
            Ref item = Ref::steal(make_dict());
            if (!item || !dict_set(item.get(), "elevation", float_list(c.elevation)) ||
                !dict_set(item.get(), "cn0", float_list(c.cn0)) || !dict_set(d.get(), c.band, item.release()))
                return nullptr;
        }
        return d.release();
    });
}

// The template shares the report's record: no copy of the curves.
PyObject* report_template(PyObject* self, void*) {
    return read_report(self, [](const ReportPayload& p) {
        return box_new<TemplatePayload>(g_cn0_template_type, TemplatePayload(p, &p->cn0_template));
    });
}

PyObject* report_to_json(PyObject* self, PyObject*) {
    return read_report(self, [](const ReportPayload& p) -> PyObject* {
        std::string text;
        if (!without_gil([&] { text = to_json(*p); })) return nullptr;
        return make_str(text);
    });
}
PyObject* report_repr_py(PyObject* self) {
    return read_report(self, [](const ReportPayload& p) { return make_str(report_repr(*p)); });
}
PyObject* report_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<ReportPayload>(self, [](const ReportPayload& p) { return encode_state(*p); });
}
PyObject* report_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<ReportPayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_interference_state);
}

PyGetSetDef kReportGetSet[] = {
    {"filename", report_filename, nullptr, "The observation file's path as given ('' for a record)", nullptr},
    {"station", report_station, nullptr, "Marker name of the recording", nullptr},
    {"latitude", report_latitude, nullptr, "Latitude of the header's approximate position (None without one)",
     nullptr},
    {"longitude", report_longitude, nullptr, "Longitude of the header's approximate position (None without one)",
     nullptr},
    {"mode", report_mode, nullptr,
     "How expectations were formed: 'elevation' (template), 'baseline' (each satellite's own level), 'mixed', or "
     "'none' when nothing was analysed",
     nullptr},
    {"reason", report_reason, nullptr, "Why nothing was analysed ('' when the recording was judged)", nullptr},
    {"epochs", report_epochs, nullptr, "Epochs of the recording", nullptr},
    {"signals", report_signals, nullptr, "Satellite signals with CN0 that were analysed", nullptr},
    {"trigger_sigma", report_trigger, nullptr,
     "Lowest evidence threshold of the bands: the accumulated standardised degradation an event needs", nullptr},
    {"threshold_db", report_threshold, nullptr, "The fixed threshold in dB that was asked for, or None", nullptr},
    {"false_alarms_per_day", report_false_alarms, nullptr,
     "False events a day on a clean recording that the thresholds were set for", nullptr},
    {"spoofing_judged", report_spoofing_judged, nullptr,
     "Whether spoofing was judged: it needs the elevation pattern that navigation data gives", nullptr},
    {"events", report_events, nullptr, "The interference events, in time order", nullptr},
    {"timestamps", report_timestamps, nullptr, "Epoch texts of the degradation series", nullptr},
    {"bands", report_bands, nullptr, "Frequency bands with a degradation series", nullptr},
    {"series", report_series, nullptr,
     "Per band: degradation (dB per epoch, NaN without signals), tracked and lost signal counts, noise_db, "
     "trigger_sigma, threshold_db, the standardised statistic per epoch and its noise model (tail_level, "
     "tail_decay, tail_rate)",
     nullptr},
    {"clouds", report_clouds, nullptr, "Per band: a thinned sample of CN0 against elevation", nullptr},
    {"template", report_template, nullptr, "The CN0Template the expectations came from", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* report_event_table(PyObject* self, PyObject*) {
    return read_report(self, [](const ReportPayload& p) { return make_table([&] { return events_table(*p); }); });
}
PyObject* report_degradation_table(PyObject* self, PyObject*) {
    return read_report(self, [](const ReportPayload& p) { return make_table([&] { return degradation_table(*p); }); });
}

PyMethodDef kReportMethods[] = {
    {"to_json", report_to_json, METH_NOARGS, "to_json($self)\n--\n\nThe report as JSON text"},
    {"event_table", report_event_table, METH_NOARGS,
     "event_table($self)\n--\n\nThe events as a Table, one row each, with a degradation_db_<band> column per "
     "band of any event"},
    {"degradation_table", report_degradation_table, METH_NOARGS,
     "degradation_table($self)\n--\n\nThe per-band degradation series as a Table: time, band, degradation_db, "
     "tracked, lost"},
    {"__reduce__", report_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", report_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReportSlots[] = {
    {Py_tp_doc, const_cast<char*>("The interference verdict of one recording")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ReportPayload>)},
    {Py_tp_getset, kReportGetSet},
    {Py_tp_methods, kReportMethods},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr_py)},
    {0, nullptr},
};
PyType_Spec kReportSpec = {"tessora_cn0.InterferenceReport", sizeof(Box<ReportPayload>), 0, Py_TPFLAGS_DEFAULT,
                           kReportSlots};

// ---------------------------------------------------------------- detect_interference
// Raises what analyze_cn0 raises for a file that cannot be read. Returns nullptr.
PyObject* raise_failure(AnalysisFailure failure, const std::string& message) {
    switch (failure) {
        case AnalysisFailure::obs_unreadable: return raise(PyExc_OSError, std::string(kObsReadPrefix) + message);
        case AnalysisFailure::nav_unreadable: return raise(PyExc_OSError, std::string(kNavReadPrefix) + message);
        default: return raise(PyExc_ValueError, message);
    }
}

// detect_interference, or with `learning` the store's form: (report, the recording's own template or
// None), with one keyword more, `filename`, the report's file name when obs is an object.
PyObject* run_detection(const char* fname, PyObject* args, PyObject* kwargs, bool learning) {
    if (PyTuple_GET_SIZE(args) > 2)
        return PyErr_Format(PyExc_TypeError, "%s() takes at most 2 positional arguments (%zd given)", fname,
                            PyTuple_GET_SIZE(args));
    static const char* const names[] = {"obs",      "nav",          "min_elevation",        "systems",
                                        "template", "threshold_db", "false_alarms_per_day", "filename"};
    PyObject* a[8];
    if (!bind_args(fname, names, learning ? 8 : 7, 1, args, kwargs, a)) return nullptr;
    std::string filename;
    if (learning && !absent(a[7])) {
        std::string_view f;
        if (!conv_text(a[7], "filename", f)) return nullptr;
        filename.assign(f);
    }

    DetectorOptions options;
    options.learn_own = learning;
    if (a[2] && !conv_float(a[2], "min_elevation", options.min_elevation)) return nullptr;
    if (!absent(a[3])) {
        std::vector<std::string> systems;
        if (!conv_text_list(a[3], "systems", systems)) return nullptr;
        options.systems = system_letters(systems);
    }
    TemplatePayload given;
    if (!absent(a[4])) {
        if (!conv_instance(a[4], g_cn0_template_type, "template")) return nullptr;
        ReadBorrow guard(borrow_of<TemplatePayload>(a[4]));
        if (!guard.ok()) return nullptr;
        given = payload_of<TemplatePayload>(a[4]);
    }
    if (!absent(a[5])) {
        double t = 0.0;
        if (!conv_float(a[5], "threshold_db", t)) return nullptr;
        if (!(std::isfinite(t) && t > 0.0)) return raise(PyExc_ValueError, "threshold_db must be a positive number of dB");
        options.threshold_db = t;
    }
    if (!absent(a[6])) {
        double rate = 0.0;
        if (!conv_float(a[6], "false_alarms_per_day", rate)) return nullptr;
        if (!(std::isfinite(rate) && rate > 0.0 && rate <= kMaxFalseAlarmsPerDay))
            return raise(PyExc_ValueError, "false_alarms_per_day must be a positive number of at most 1000");
        options.false_alarms_per_day = rate;
    }

    std::shared_ptr<const RinexObsData> obs;
    std::string obs_path;
    if (PyUnicode_Check(a[0])) {
        std::string_view p;
        if (!conv_text(a[0], "obs", p)) return nullptr;
        obs_path.assign(p);
    } else {
        if (!conv_instance(a[0], g_rinex_obs_type, "obs")) return nullptr;
        if (!(obs = obs_payload(a[0]))) return nullptr;
    }
    std::shared_ptr<const NavigationData> nav;
    std::optional<std::string> nav_path;
    if (!absent(a[1])) {
        if (PyUnicode_Check(a[1])) {
            std::string_view p;
            if (!conv_text(a[1], "nav", p)) return nullptr;
            nav_path.emplace(p);
        } else {
            if (!conv_instance(a[1], g_navigation_type, "nav")) return nullptr;
            if (!(nav = navigation_payload(a[1]))) return nullptr;
        }
    }

    AnalysisFailure failure = AnalysisFailure::none;
    std::string message;
    std::optional<InterferenceReport> report;
    if (!without_gil([&] {
            // An RTCM 3 recording's own ephemerides serve when no navigation is given.
            if (!obs && !(obs = load_observations(obs_path, failure, message, nav ? nullptr : &nav))) return;
            if (nav_path && !(nav = load_navigation(*nav_path, failure, message))) return;
            options.cn0_template = given.get();
            report.emplace(detect_interference(*obs, nav.get(), options));
            report->filename = obs_path.empty() ? filename : obs_path;
        }))
        return nullptr;
    if (!report) return raise_failure(failure, message);
    if (!learning) return wrap_interference_report(std::move(*report));
    std::optional<CN0Template> own = std::move(report->own_template);
    Ref own_object = own ? Ref::steal(box_new<TemplatePayload>(g_cn0_template_type,
                                                               std::make_shared<const CN0Template>(std::move(*own))))
                         : Ref::borrow(Py_None);
    if (!own_object) return nullptr;
    Ref wrapped = Ref::steal(wrap_interference_report(std::move(*report)));
    if (!wrapped) return nullptr;
    return PyTuple_Pack(2, wrapped.get(), own_object.get());
}

PyObject* detect_interference_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_detection("detect_interference", args, kwargs, false);
}

PyObject* detect_learning_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_detection("_detect_interference_learning", args, kwargs, true);
}

}  // namespace

PyTypeObject* add_interference_types(PyObject* module) {
    if (!(g_interference_report_type = add_type(module, &kReportSpec))) return nullptr;
    if (!(g_interference_event_type = add_type(module, &kEventSpec))) return nullptr;
    g_cn0_template_type = add_type(module, &kTemplateSpec);
    return g_cn0_template_type;
}

PyObject* wrap_interference_report(InterferenceReport&& report) {
    return box_new<ReportPayload>(g_interference_report_type, std::make_shared<const InterferenceReport>(std::move(report)));
}

PyMethodDef kDetectInterferenceDef = {
    "detect_interference", reinterpret_cast<PyCFunction>(detect_interference_py), METH_VARARGS | METH_KEYWORDS,
    "detect_interference(obs, nav=None, *, min_elevation=5.0, systems=None, template=None, threshold_db=None, "
    "false_alarms_per_day=0.002)\n--\n\n"
    "Find interference and spoofing in a recording from the common-mode CN0 degradation of each frequency band.\n\n"
    "obs and nav are paths (compressed files too) or RinexObsData / NavigationData objects. With navigation data and\n"
    "a receiver position, each signal's CN0 is set against a CN0-against-elevation template (learned from the\n"
    "recording, or the stored `template` of the station); without, against each satellite's own level. Thresholds\n"
    "come from the recording's own noise, set so that a clean recording raises `false_alarms_per_day` false\n"
    "events a day, unless `threshold_db` fixes one. Spoofing is judged only with elevations. A recording too short\n"
    "or without CN0 gives an empty report whose `reason` says why."};

PyMethodDef kDetectLearningDef = {
    "_detect_interference_learning", reinterpret_cast<PyCFunction>(detect_learning_py), METH_VARARGS | METH_KEYWORDS,
    "_detect_interference_learning(obs, nav=None, *, min_elevation=5.0, systems=None, template=None, threshold_db=None, "
    "false_alarms_per_day=0.002, filename=None)\n--\n\n"
    "detect_interference for a station store: (report, own), own the recording's own template when `template` judged\n"
    "it clean with elevations (learned from all of it, as a run without the template learns it first), else None.\n"
    "`filename` names the report's file when obs is a RinexObsData."};

}  // namespace tessora::py
