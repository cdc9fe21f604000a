// The TLE module functions: counting element sets and downloading the GNSS catalogue.
#include <new>

#include "python/classes.hpp"
#include "tle/tle.hpp"

namespace tessora::py {
namespace {

PyObject* download_tle_py(PyObject*, PyObject*) {
    Expected<std::string> text = Expected<std::string>::failure(std::string());
    bool out_of_memory = false;
    // The child may run for up to two minutes: let other Python threads run meanwhile. The core
    // touches no Python object, and no C++ exception may leave this block without the lock.
    Py_BEGIN_ALLOW_THREADS
    try {
        text = download_tle();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    if (!text) return raise(PyExc_IOError, text.error());
    return make_str(text.value());
}

PyObject* parse_tle_content_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"content"};
    PyObject* a[1];
    if (!bind_args("parse_tle_content", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view content;
    if (!conv_text(a[0], "content", content)) return nullptr;
    return make_uint(parse_tle_content(content));
}

}  // namespace

PyMethodDef kDownloadTleDef = {"download_tle", download_tle_py, METH_NOARGS,
                               "download_tle()\n--\n\nDownload GNSS TLE from CelesTrak"};
PyMethodDef kParseTleContentDef = {"parse_tle_content", reinterpret_cast<PyCFunction>(parse_tle_content_py),
                                   METH_VARARGS | METH_KEYWORDS,
                                   "parse_tle_content(content)\n--\n\nParse TLE content and return satellite count"};

}  // namespace tessora::py
