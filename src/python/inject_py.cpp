// _inject_interference: a copy of a recording with jammers and spoofers injected, for the harness
// that measures the interference detector.
#include <cmath>
#include <limits>
#include <string>

#include "interference/inject.hpp"
#include "python/classes.hpp"

namespace tessora::py {
namespace {

constexpr const char* kKeys[] = {"kind", "start", "end", "db", "profile", "steps", "bands", "level", "spread"};

// Re-raises a pending TypeError, ValueError or OverflowError with `label` in front of its message.
bool relabel(const std::string& label) { return relabel_error(label.c_str(), true); }

bool fail(PyObject* type, const std::string& message) {
    raise(type, message);
    return false;
}

// Text of a str value, or TypeError naming `label`.
bool text_of(PyObject* o, const std::string& label, std::string_view& out) {
    if (!PyUnicode_Check(o))
        return fail(PyExc_TypeError, label + ": expected str, got " + Py_TYPE(o)->tp_name);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return relabel(label);
    out = std::string_view(s, static_cast<std::size_t>(n));
    return true;
}

bool float_of(PyObject* o, const std::string& label, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return relabel(label);
    out = v;
    return true;
}

bool steps_of(PyObject* o, const std::string& label, std::uint32_t& out) {
    Ref idx = Ref::steal(PyNumber_Index(o));
    if (!idx) return relabel(label);
    const long long v = PyLong_AsLongLong(idx.get());
    if (v == -1 && PyErr_Occurred()) return relabel(label);
    if (v < 1 || v > static_cast<long long>(std::numeric_limits<std::uint32_t>::max()))
        return fail(PyExc_ValueError, label + ": must be between 1 and 4294967295");
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool bands_of(PyObject* o, const std::string& label, std::vector<Band>& out) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyDict_Check(o) || !PySequence_Check(o))
        return fail(PyExc_TypeError, label + ": expected a sequence of band names or None, got " + Py_TYPE(o)->tp_name);
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return relabel(label);
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return relabel(label);
            return true;
        }
        std::string_view name;
        if (!text_of(item.get(), label + " item", name)) return false;
        std::size_t b = 0;
        while (b < kBandCount && kBandNames[b] != name) ++b;
        if (b == kBandCount) {
            std::string known;
            for (std::string_view n : kBandNames) known += (known.empty() ? "" : ", ") + std::string(n);
            return fail(PyExc_ValueError, label + ": unknown band '" + std::string(name) + "' (known: " + known + ")");
        }
        out.push_back(static_cast<Band>(b));
    }
}

// One injection from its dict; `where` is "injections[i]".
bool injection_of(PyObject* d, const std::string& where, Injection& out) {
    if (!PyDict_Check(d)) return fail(PyExc_TypeError, where + ": expected a dict, got " + Py_TYPE(d)->tp_name);
    // Keys first, so that a misspelt key is reported rather than silently taking a default.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_Check(key))
            return fail(PyExc_TypeError, where + ": keys must be str, got " + Py_TYPE(key)->tp_name);
        const char* k = PyUnicode_AsUTF8(key);
        if (!k) return relabel(where);
        bool known = false;
        for (const char* name : kKeys) known = known || std::string_view(name) == k;
        if (!known) return fail(PyExc_ValueError, where + ": unknown key '" + k + "'");
    }
    // The values, each held while it is converted (a conversion may run Python code).
    auto get = [&](const char* name, Ref& v) { v = Ref::borrow(PyDict_GetItemString(d, name)); };
    auto label = [&](const char* name) { return where + "['" + name + "']"; };
    Ref v;
    get("kind", v);
    if (v) {
        std::string_view s;
        if (!text_of(v.get(), label("kind"), s)) return false;
        if (s == "jammer") out.kind = InjectionKind::jammer;
        else if (s == "spoofer") out.kind = InjectionKind::spoofer;
        else return fail(PyExc_ValueError, label("kind") + ": unknown kind '" + std::string(s) + "' (expected 'jammer' or 'spoofer')");
    }
    for (const char* name : {"start", "end"}) {
        get(name, v);
        if (!v) return fail(PyExc_ValueError, where + ": missing key '" + name + "'");
        if (!float_of(v.get(), label(name), std::string_view(name) == "start" ? out.start : out.end)) return false;
    }
    get("db", v);
    if (v && !float_of(v.get(), label("db"), out.db)) return false;
    get("profile", v);
    if (v) {
        std::string_view s;
        if (!text_of(v.get(), label("profile"), s)) return false;
        if (s == "plateau") out.profile = JammerProfile::plateau;
        else if (s == "pass") out.profile = JammerProfile::pass;
        else if (s == "ramp") out.profile = JammerProfile::ramp;
        else return fail(PyExc_ValueError, label("profile") + ": unknown profile '" + std::string(s) + "' (expected 'plateau', 'pass' or 'ramp')");
    }
    get("steps", v);
    if (v && !steps_of(v.get(), label("steps"), out.steps)) return false;
    get("bands", v);
    if (!absent(v.get()) && !bands_of(v.get(), label("bands"), out.bands)) return false;
    get("level", v);
    if (!absent(v.get())) {
        double level = 0.0;
        if (!float_of(v.get(), label("level"), level)) return false;
        out.level = level;
    }
    get("spread", v);
    if (v && !float_of(v.get(), label("spread"), out.spread)) return false;
    return true;
}

bool injections_of(PyObject* o, std::vector<Injection>& out) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyDict_Check(o) || !PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument 'injections': expected a sequence of dict, got %s", Py_TYPE(o)->tp_name);
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return relabel("argument 'injections'");
    for (std::size_t i = 0;; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred() || relabel("argument 'injections'");
        Injection j;
        if (!injection_of(item.get(), "injections[" + std::to_string(i) + "]", j)) return false;
        out.push_back(std::move(j));
    }
}

PyObject* inject_interference_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"obs", "injections", "tracking_threshold", "seed"};
    PyObject* a[4];
    if (!bind_args("_inject_interference", names, 4, 2, args, kwargs, a)) return nullptr;
    if (!conv_instance(a[0], g_rinex_obs_type, "obs")) return nullptr;
    std::vector<Injection> injections;
    if (!injections_of(a[1], injections)) return nullptr;
    InjectionOptions options;
    if (!absent(a[2])) {
        double threshold = 0.0;
        if (!conv_float(a[2], "tracking_threshold", threshold)) return nullptr;
        options.tracking_threshold = threshold;
    }
    if (a[3] && !conv_count(a[3], "seed", options.seed)) return nullptr;
    ObsPayload obs = obs_payload(a[0]);
    if (!obs) return nullptr;
    RinexObsData result;
    if (!without_gil([&] { result = inject_interference(*obs, injections, options); })) return nullptr;
    return wrap_rinex_obs(std::move(result));
}

}  // namespace

PyMethodDef kInjectInterferenceDef = {
    "_inject_interference", reinterpret_cast<PyCFunction>(inject_interference_py), METH_VARARGS | METH_KEYWORDS,
    "_inject_interference(obs, injections, tracking_threshold=None, seed=0)\n--\n\n"
    "A copy of a recording with jammers and spoofers injected (for evaluating detectors)"};

}  // namespace tessora::py
