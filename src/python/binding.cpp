#include "python/binding.hpp"

#include <cstring>

#include "common/file.hpp"

namespace tessora::py {

PyObject* g_internal_error = nullptr;

bool init_exceptions() {
    if (g_internal_error) return true;
    g_internal_error = PyErr_NewExceptionWithDoc(
        "tessora_cn0.InternalError",
        "Internal consistency failure of tessora_cn0 (the interpreter refused to build a result).",
        PyExc_BaseException, nullptr);
    return g_internal_error != nullptr;
}

PyObject* internal_error(const char* message) {
    if (PyErr_Occurred()) PyErr_Print();
    PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, message);
    return nullptr;
}

PyObject* raise(PyObject* type, std::string_view message) {
    Ref msg = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!msg) return nullptr;
    PyErr_SetObject(type, msg.get());
    return nullptr;
}

// ------------------------------------------------------------------ argument parsing
bool bind_args(const char* fname, const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired,
               PyObject* args, PyObject* kwargs, PyObject** out) {
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = nullptr;
    const Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
    if (npos > nparams) {
        if (nparams == 0)
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fname, npos);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", fname,
                         nparams == nrequired ? "exactly" : "at most", nparams, nparams == 1 ? "" : "s", npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            Py_ssize_t k = 0;
            for (; k < nparams; ++k)
                if (PyUnicode_CompareWithASCIIString(key, names[k]) == 0) break;
            if (k == nparams) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
                return false;
            }
            if (out[k]) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", fname,
                             names[k], k + 1);
                return false;
            }
            out[k] = value;
        }
    }
    for (Py_ssize_t i = 0; i < nrequired; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool relabel_error(const char* label, bool value_errors_too) {
    const bool match = PyErr_ExceptionMatches(PyExc_TypeError) ||
                       (value_errors_too && (PyErr_ExceptionMatches(PyExc_ValueError) ||
                                             PyErr_ExceptionMatches(PyExc_OverflowError)));
    if (!match) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) return false;
    PyErr_Format(t.get(), "%s: %U", label, text.get());
    return false;
}

namespace {

bool type_error(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected, Py_TYPE(got)->tp_name);
    return false;
}

// Re-raises a pending TypeError with the "argument 'name': " prefix; other errors pass unchanged.
bool prefix_type_error(const char* name) {
    return relabel_error((std::string("argument '") + name + "'").c_str(), false);
}

}  // namespace

bool conv_text(PyObject* o, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(o)) return type_error(name, "str", o);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out = std::string_view(s, static_cast<std::size_t>(n));
    return true;
}

bool conv_bytes(PyObject* o, const char* name, std::string_view& out) {
    if (!PyBytes_Check(o)) return type_error(name, "bytes", o);
    out = std::string_view(PyBytes_AsString(o), static_cast<std::size_t>(PyBytes_Size(o)));
    return true;
}

bool conv_float(PyObject* o, const char* name, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return prefix_type_error(name);
    out = v;
    return true;
}

bool conv_count(PyObject* o, const char* name, std::uint64_t& out) {
    Ref idx = Ref::steal(PyNumber_Index(o));
    if (!idx) return prefix_type_error(name);
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(name);
    out = v;
    return true;
}

bool conv_bool(PyObject* o, const char* name, bool& out) {
    if (!PyBool_Check(o)) return type_error(name, "bool", o);
    out = o == Py_True;
    return true;
}

bool conv_text_list(PyObject* o, const char* name, std::vector<std::string>& out) {
    if (PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': a str is not accepted as a list of str", name);
        return false;
    }
    if (!PySequence_Check(o)) return type_error(name, "a sequence of str", o);
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return prefix_type_error(name);
    std::vector<std::string> items;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return prefix_type_error(name);
            break;
        }
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, found an item of type %s",
                         name, Py_TYPE(item.get())->tp_name);
            return false;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(item.get(), &n);
        if (!s) return false;
        items.emplace_back(s, static_cast<std::size_t>(n));
    }
    out = std::move(items);
    return true;
}

bool conv_instance(PyObject* o, PyTypeObject* type, const char* name) {
    if (!PyObject_TypeCheck(o, type)) {
        const char* short_name = std::strrchr(type->tp_name, '.');
        return type_error(name, short_name ? short_name + 1 : type->tp_name, o);
    }
    return true;
}

// ------------------------------------------------------------------ result builders
PyObject* make_str(std::string_view s) {
    PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    return o ? o : internal_error("Python API call failed");
}

PyObject* make_float(double v) {
    PyObject* o = PyFloat_FromDouble(v);
    return o ? o : internal_error("Python API call failed");
}

PyObject* make_uint(std::uint64_t v) {
    PyObject* o = PyLong_FromUnsignedLongLong(v);
    return o ? o : internal_error("Python API call failed");
}

PyObject* make_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

PyObject* make_str_list(const std::vector<std::string>& v) {
    return make_list(v, [](const std::string& s) { return make_str(s); });
}

PyObject* make_dict() {
    PyObject* d = PyDict_New();
    return d ? d : internal_error("Python API call failed");
}

bool dict_set(PyObject* dict, std::string_view key, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) return false;
    Ref k = Ref::steal(make_str(key));
    if (!k) return false;
    if (PyDict_SetItem(dict, k.get(), v.get()) < 0) {
        internal_error("Failed to set_item on dict");
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ heap types
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    const char* short_name = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", short_name ? short_name + 1 : type->tp_name);
    return nullptr;
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec) {
    PyObject* type = PyType_FromSpec(spec);
    if (!type) return nullptr;
    const char* short_name = std::strrchr(spec->name, '.');
    short_name = short_name ? short_name + 1 : spec->name;
    if (PyModule_AddObjectRef(module, short_name, type) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(type);  // the module keeps it alive
    return reinterpret_cast<PyTypeObject*>(type);
}

bool read_file_or_raise(std::string_view path, std::string& out, std::string_view prefix) {
    std::string error;
    bool read = false;
    if (!without_gil([&] { read = read_whole_file(path, out, error); })) return false;
    if (read) return true;
    std::string msg(prefix);
    msg += error;
    raise(PyExc_OSError, msg);
    return false;
}

}  // namespace tessora::py
