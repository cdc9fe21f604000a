// LiveDetector: the interference detector on a stream, pushed the epochs as they arrive (for
// instance RtcmStream.take()), giving back the changes of its events as dicts.
#include <cmath>
#include <cstdio>
#include <memory>

#include "interference/live.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace tessora::py {

PyTypeObject* g_live_detector_type = nullptr;

namespace {

using TemplatePayload = std::shared_ptr<const CN0Template>;

// The detector with what it was made from: the template it was given stays alive beside it.
struct LiveState {
    std::unique_ptr<LiveDetector> detector;
    TemplatePayload given;
};

bool positive(PyObject* o, const char* name, double& out, double most) {
    if (!conv_float(o, name, out)) return false;
    if (!(std::isfinite(out) && out > 0.0 && out <= most)) {
        // PyErr_Format knows no %g: the bound is written here.
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", most);
        PyErr_Format(PyExc_ValueError, "%s must be a positive number of at most %s", name, bound);
        return false;
    }
    return true;
}

PyObject* live_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"template", "nav", "false_alarms_per_day", "min_elevation", "window_hours",
                                        "recheck_minutes"};
    PyObject* a[6];
    if (PyTuple_GET_SIZE(args) > 1)
        return PyErr_Format(PyExc_TypeError, "LiveDetector() takes at most 1 positional argument (%zd given)",
                            PyTuple_GET_SIZE(args));
    if (!bind_args("LiveDetector", names, 6, 0, args, kwargs, a)) return nullptr;
    LiveState st;
    LiveOptions o;
    if (!absent(a[0])) {
        if (!conv_instance(a[0], g_cn0_template_type, "template")) return nullptr;
        ReadBorrow guard(borrow_of<TemplatePayload>(a[0]));
        if (!guard.ok()) return nullptr;
        st.given = payload_of<TemplatePayload>(a[0]);
        o.detector.cn0_template = st.given.get();
    }
    NavPayload nav;
    if (!absent(a[1])) {
        if (!conv_instance(a[1], g_navigation_type, "nav")) return nullptr;
        nav = navigation_payload(a[1]);
        if (!nav) return nullptr;
    }
    if (a[2] && !positive(a[2], "false_alarms_per_day", o.detector.false_alarms_per_day, 1000.0)) return nullptr;
    if (a[3] && !conv_float(a[3], "min_elevation", o.detector.min_elevation)) return nullptr;
    double hours = o.window_seconds / 3600.0, minutes = o.recheck_seconds / 60.0;
    if (a[4] && !positive(a[4], "window_hours", hours, 48.0)) return nullptr;
    if (a[5] && !positive(a[5], "recheck_minutes", minutes, 1440.0)) return nullptr;
    o.window_seconds = hours * 3600.0;
    o.recheck_seconds = minutes * 60.0;
    o.busy_recheck_seconds = std::min(o.busy_recheck_seconds, o.recheck_seconds);
    st.detector = std::make_unique<LiveDetector>(o);
    if (nav) st.detector->set_navigation(nav);
    return box_new<LiveState>(type, std::move(st));
}

PyObject* text_or_none(const std::string& s) {
    if (s.empty()) Py_RETURN_NONE;
    return make_str(s);
}

// {"action", "start", "peak_time", "end", "duration", "peak_degradation_db", "degradation_db",
//  "bands", "kind", "confirmed"}
PyObject* change_dict(const LiveChange& c) {
    Ref d = Ref::steal(make_dict());
    if (!d) return nullptr;
    const InterferenceEvent& e = c.event;
    Ref per_band = Ref::steal(make_dict());
    if (!per_band) return nullptr;
    for (const BandDegradation& b : e.degradation_db)
        if (!dict_set(per_band.get(), b.band, make_float(b.value))) return nullptr;
    if (!dict_set(d.get(), "action", make_str(c.action)) || !dict_set(d.get(), "start", text_or_none(e.start)) ||
        !dict_set(d.get(), "peak_time", text_or_none(e.peak_time)) || !dict_set(d.get(), "end", text_or_none(e.end)) ||
        !dict_set(d.get(), "duration", make_float(e.duration)) ||
        !dict_set(d.get(), "peak_degradation_db", make_float(e.peak_degradation_db)) ||
        !dict_set(d.get(), "degradation_db", per_band.release()) || !dict_set(d.get(), "bands", make_str_list(e.bands)) ||
        !dict_set(d.get(), "kind", make_str(e.kind)) || !dict_set(d.get(), "confirmed", make_bool(c.confirmed)))
        return nullptr;
    return d.release();
}

template <typename F>
PyObject* run(PyObject* self, F&& f) {
    WriteBorrow guard(borrow_of<LiveState>(self));
    if (!guard.ok()) return nullptr;
    LiveDetector& det = *payload_of<LiveState>(self).detector;
    std::vector<LiveChange> changes;
    if (!without_gil([&] { changes = f(det); })) return nullptr;
    return make_list(changes, change_dict);
}

PyObject* live_push(PyObject* self, PyObject* arg) {
    if (!conv_instance(arg, g_rinex_obs_type, "epochs")) return nullptr;
    ObsPayload rec = obs_payload(arg);
    if (!rec) return nullptr;
    return run(self, [&](LiveDetector& d) { return d.push(*rec); });
}

PyObject* live_finish(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"interrupted"};
    PyObject* a[1];
    if (!bind_args("finish", names, 1, 0, args, kwargs, a)) return nullptr;
    bool interrupted = false;
    if (a[0] && !conv_bool(a[0], "interrupted", interrupted)) return nullptr;
    return run(self, [&](LiveDetector& d) { return d.finish(interrupted); });
}

PyObject* live_set_navigation(PyObject* self, PyObject* arg) {
    if (!conv_instance(arg, g_navigation_type, "nav")) return nullptr;
    NavPayload nav = navigation_payload(arg);
    if (!nav) return nullptr;
    WriteBorrow guard(borrow_of<LiveState>(self));
    if (!guard.ok()) return nullptr;
    payload_of<LiveState>(self).detector->set_navigation(nav);
    Py_RETURN_NONE;
}

template <typename F>
PyObject* read_live(PyObject* self, F&& f) {
    return with_read<LiveState>(self, [&](LiveState& s) { return f(*s.detector); });
}

PyObject* get_epochs(PyObject* self, void*) {
    return read_live(self, [](const LiveDetector& d) { return make_uint(d.epochs()); });
}
PyObject* get_open_events(PyObject* self, void*) {
    return read_live(self, [](const LiveDetector& d) { return make_uint(d.open_events()); });
}
PyObject* get_last_epoch(PyObject* self, void*) {
    return read_live(self, [](const LiveDetector& d) -> PyObject* {
        if (!d.last_epoch()) Py_RETURN_NONE;
        return make_str(epoch_text(*d.last_epoch()));
    });
}
// A copy: the detector replaces its template as it learns.
PyObject* get_template(PyObject* self, void*) {
    return read_live(self, [](const LiveDetector& d) -> PyObject* {
        if (d.cn0_template().signals.empty()) Py_RETURN_NONE;
        return box_new<TemplatePayload>(g_cn0_template_type, std::make_shared<const CN0Template>(d.cn0_template()));
    });
}
// [{"band", "cn0", "degradation", "signals"}] of the last epoch.
PyObject* get_bands(PyObject* self, void*) {
    return read_live(self, [](const LiveDetector& d) {
        return make_list(d.bands(), [](const LiveBand& b) -> PyObject* {
            Ref x = Ref::steal(make_dict());
            if (!x) return nullptr;
            const auto value = [](double v) -> PyObject* {
                if (std::isnan(v)) Py_RETURN_NONE;
                return make_float(v);
            };
            if (!dict_set(x.get(), "band", make_str(band_name(b.band))) || !dict_set(x.get(), "cn0", value(b.cn0)) ||
                !dict_set(x.get(), "degradation", value(b.degradation)) || !dict_set(x.get(), "signals", make_uint(b.signals)))
                return nullptr;
            return x.release();
        });
    });
}

PyGetSetDef kGetSet[] = {
    {"epochs", get_epochs, nullptr, "Epochs judged so far", nullptr},
    {"open_events", get_open_events, nullptr, "Events open now", nullptr},
    {"last_epoch", get_last_epoch, nullptr, "Time of the last epoch judged (epoch text), or None", nullptr},
    {"bands", get_bands, nullptr, "The last epoch's bands: band, mean cn0, degradation (dB) and signals", nullptr},
    {"template", get_template, nullptr,
     "The CN0Template the file detector last judged against (the one given, or the one learned from the stream's "
     "clean windows), or None before it", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"push", live_push, METH_O,
     "push($self, epochs, /)\n--\n\nJudge the epochs of a RinexObsData later than those pushed before; "
     "returns the event changes as dicts (action 'open', 'update' or 'close')"},
    {"finish", reinterpret_cast<PyCFunction>(live_finish), METH_VARARGS | METH_KEYWORDS,
     "finish($self, interrupted=False)\n--\n\nThe stream ended: judge the window once more and close every open event"},
    {"set_navigation", live_set_navigation, METH_O,
     "set_navigation($self, nav, /)\n--\n\nThe ephemerides that give the satellites' elevations from now on"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "LiveDetector(template=None, *, nav=None, false_alarms_per_day=0.002, min_elevation=5.0, "
                    "window_hours=3.0, recheck_minutes=10.0)\n--\n\n"
                    "The interference detector on a stream: push() the epochs as they arrive and get the changes of "
                    "the events. A fast judge raises the alarm within two epochs of a strong drop; the file "
                    "detector, run every recheck_minutes over the last window_hours (with the station's template, "
                    "given or learned from the stream), finds the weaker events and gives every event its fields")},
    {Py_tp_new, reinterpret_cast<void*>(live_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<LiveState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessora_cn0.LiveDetector", sizeof(Box<LiveState>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* add_live_detector_type(PyObject* module) {
    g_live_detector_type = add_type(module, &kSpec);
    return g_live_detector_type;
}

}  // namespace tessora::py
