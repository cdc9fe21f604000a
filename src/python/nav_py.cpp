// NavigationData class and the navigation-reading functions.
#include <optional>

#include "cn0/state.hpp"
#include "navigation/nav_reader.hpp"
#include "python/classes.hpp"

namespace tessora::py {

PyTypeObject* g_navigation_type = nullptr;

namespace {

template <typename F>
PyObject* read_nav(PyObject* self, F&& f) {
    return with_read<NavPayload>(self, [&](NavPayload& p) { return f(*p); });
}

PyObject* get_satellite_count(PyObject* self, void*) {
    return read_nav(self, [](const NavigationData& n) { return make_uint(n.satellite_count()); });
}
PyObject* get_gps_count(PyObject* self, void*) {
    return read_nav(self, [](const NavigationData& n) { return make_uint(n.gps.size()); });
}
PyObject* get_glonass_count(PyObject* self, void*) {
    return read_nav(self, [](const NavigationData& n) { return make_uint(n.glonass.size()); });
}
PyObject* get_galileo_count(PyObject* self, void*) {
    return read_nav(self, [](const NavigationData& n) { return make_uint(n.galileo.size()); });
}
PyObject* get_beidou_count(PyObject* self, void*) {
    return read_nav(self, [](const NavigationData& n) { return make_uint(n.beidou.size()); });
}

PyObject* has_data_py(PyObject* self, PyObject*) {
    return read_nav(self, [](const NavigationData& n) { return make_bool(n.has_data()); });
}

PyObject* nav_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<NavPayload>(self, [](const NavPayload& p) { return encode_state(*p); });
}
PyObject* nav_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<NavPayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_navigation_state);
}

PyObject* nav_repr_py(PyObject* self) {
    return read_nav(self, [](const NavigationData& n) { return make_str(navigation_repr(n)); });
}

PyGetSetDef kGetSet[] = {
    {"satellite_count", get_satellite_count, nullptr, "Get satellite count", nullptr},
    {"gps_count", get_gps_count, nullptr, "Get GPS satellite count", nullptr},
    {"glonass_count", get_glonass_count, nullptr, "Get GLONASS satellite count", nullptr},
    {"galileo_count", get_galileo_count, nullptr, "Get Galileo satellite count", nullptr},
    {"beidou_count", get_beidou_count, nullptr, "Get BeiDou satellite count", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"has_data", has_data_py, METH_NOARGS, "has_data($self)\n--\n\nCheck if navigation data is available"},
    {"__reduce__", nav_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", nav_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for NavigationData")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<NavPayload>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(nav_repr_py)},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessora_cn0.NavigationData", sizeof(Box<NavPayload>), 0, Py_TPFLAGS_DEFAULT, kSlots};

// Runs the reader and wraps its record, or raises ValueError with the reader's message.
PyObject* parse_and_wrap(std::string_view bytes) {
    std::optional<Expected<NavigationData>> rec;
    std::shared_ptr<const NavigationData> shared;
    if (!without_gil([&] {
            rec.emplace(read_navigation_content(bytes));
            if (*rec) shared = std::make_shared<const NavigationData>(std::move(rec->value()));
        }))
        return nullptr;
    if (!*rec) return raise(PyExc_ValueError, rec->error());
    return box_new<NavPayload>(g_navigation_type, std::move(shared));
}

PyObject* read_navigation_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!bind_args("read_navigation", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view path;
    if (!conv_text(a[0], "path", path)) return nullptr;
    std::string bytes;
    if (!read_file_or_raise(path, bytes)) return nullptr;
    return parse_and_wrap(bytes);
}

PyObject* read_navigation_bytes_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"data"};
    PyObject* a[1];
    if (!bind_args("read_navigation_bytes", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view data;
    if (!conv_bytes(a[0], "data", data)) return nullptr;
    return parse_and_wrap(data);
}

}  // namespace

PyTypeObject* add_navigation_type(PyObject* module) {
    g_navigation_type = add_type(module, &kSpec);
    return g_navigation_type;
}

PyObject* wrap_navigation(NavigationData&& rec) {
    auto shared = std::make_shared<const NavigationData>(std::move(rec));
    return box_new<NavPayload>(g_navigation_type, std::move(shared));
}

NavPayload navigation_payload(PyObject* instance) {
    ReadBorrow guard(borrow_of<NavPayload>(instance));
    if (!guard.ok()) return nullptr;
    return payload_of<NavPayload>(instance);
}

PyMethodDef kReadNavigationDef = {"read_navigation", reinterpret_cast<PyCFunction>(read_navigation_py),
                                  METH_VARARGS | METH_KEYWORDS,
                                  "read_navigation(path)\n--\n\nRead navigation file from path"};
PyMethodDef kReadNavigationBytesDef = {"read_navigation_bytes", reinterpret_cast<PyCFunction>(read_navigation_bytes_py),
                                       METH_VARARGS | METH_KEYWORDS,
                                       "read_navigation_bytes(data)\n--\n\nRead navigation file from bytes"};

}  // namespace tessora::py
