// The binding layer: owning references, argument conversion, result builders, heap types, borrow
// flags and the mapping of failures to Python exceptions. Everything Python-facing goes through
// these helpers so that every error path releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/expected.hpp"

namespace tessora::py {

// ------------------------------------------------------------------ owning reference
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------------------ exceptions
// The exception type for internal consistency failures (derived from BaseException).
extern PyObject* g_internal_error;
bool init_exceptions();

// Raises the internal-error exception; a pending Python error is printed first. Returns nullptr.
PyObject* internal_error(const char* message);
// Raises an exception of `type` with `message`. Returns nullptr.
PyObject* raise(PyObject* type, std::string_view message);

// ------------------------------------------------------------------ argument parsing
// Binds positional and keyword arguments to the parameter slots `out` (borrowed references,
// nullptr when omitted). Raises TypeError with Python's usual wording for missing, surplus,
// duplicated or unknown arguments.
bool bind_args(const char* fname, const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired,
               PyObject* args, PyObject* kwargs, PyObject** out);

// Re-raises a pending TypeError (with `value_errors_too` also a ValueError or OverflowError)
// with "label: " in front of its message, keeping its type; other errors pass unchanged.
// Returns false.
bool relabel_error(const char* label, bool value_errors_too);

// True when an optional argument is absent (omitted or None).
inline bool absent(PyObject* o) { return o == nullptr || o == Py_None; }

// Per-kind converters. On failure they raise the argument error ("argument 'name': ...") or pass
// the conversion's own non-type error through, and return false.
bool conv_text(PyObject* o, const char* name, std::string_view& out);  // view valid while o lives
bool conv_bytes(PyObject* o, const char* name, std::string_view& out);
bool conv_float(PyObject* o, const char* name, double& out);
bool conv_count(PyObject* o, const char* name, std::uint64_t& out);
bool conv_bool(PyObject* o, const char* name, bool& out);
bool conv_text_list(PyObject* o, const char* name, std::vector<std::string>& out);
bool conv_instance(PyObject* o, PyTypeObject* type, const char* name);

// ------------------------------------------------------------------ result builders
// New references; on failure the internal error is raised and nullptr returned.
PyObject* make_str(std::string_view s);
PyObject* make_float(double v);
PyObject* make_uint(std::uint64_t v);
PyObject* make_bool(bool v);

template <typename Seq, typename F>
PyObject* make_list(const Seq& seq, F&& make_item) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(seq))));
    if (!list) return internal_error("Python API call failed");
    Py_ssize_t i = 0;
    for (const auto& item : seq) {
        PyObject* o = make_item(item);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
    }
    return list.release();
}

PyObject* make_str_list(const std::vector<std::string>& v);
PyObject* make_dict();
// Inserts (key, value) into a dict; the value reference is stolen (also on failure).
bool dict_set(PyObject* dict, std::string_view key, PyObject* value);

// ------------------------------------------------------------------ borrow flags
// Per-object borrow state: > 0 shared readers, -1 one writer. Atomic, since methods that run
// without the interpreter lock hold their borrow meanwhile and other threads may test it.
struct BorrowFlag {
    std::atomic<Py_ssize_t> state{0};
};

class ReadBorrow {
public:
    explicit ReadBorrow(BorrowFlag& f) : f_(f) {
        Py_ssize_t s = f_.state.load(std::memory_order_relaxed);
        do {
            if (s < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                ok_ = false;
                return;
            }
        } while (!f_.state.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }
    ~ReadBorrow() {
        if (ok_) f_.state.fetch_sub(1, std::memory_order_release);
    }
    bool ok() const { return ok_; }

private:
    BorrowFlag& f_;
    bool ok_ = true;
};

class WriteBorrow {
public:
    explicit WriteBorrow(BorrowFlag& f) : f_(f) {
        Py_ssize_t expected = 0;
        if (!f_.state.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            ok_ = false;
        }
    }
    ~WriteBorrow() {
        if (ok_) f_.state.store(0, std::memory_order_release);
    }
    bool ok() const { return ok_; }

private:
    BorrowFlag& f_;
    bool ok_ = true;
};

// ------------------------------------------------------------------ running core code
// Runs `f` (which must touch no Python object) without the interpreter lock, so that other
// Python threads run meanwhile. Exceptions never cross into the interpreter: std::bad_alloc
// becomes MemoryError, anything else the internal-error exception. Returns false with the
// Python exception set.
template <typename F>
bool without_gil(F&& f) {
    enum { ok, out_of_memory, other } outcome = ok;
    std::string what;
    Py_BEGIN_ALLOW_THREADS
    try {
        f();
    } catch (const std::bad_alloc&) {
        outcome = out_of_memory;
    } catch (const std::exception& e) {
        outcome = other;
        what = e.what();
    } catch (...) {
        outcome = other;
    }
    Py_END_ALLOW_THREADS
    if (outcome == out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (outcome == other) {
        internal_error(("C++ exception: " + what).c_str());
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ heap types
// A Python object holding one C++ payload.
template <typename Payload>
struct Box {
    PyObject_HEAD
    BorrowFlag borrow;
    Payload payload;
};

template <typename Payload>
void box_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Box<Payload>*>(self)->payload.~Payload();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Allocates an instance of `type` and moves `payload` into it; nullptr with the internal error
// raised when the interpreter cannot allocate it.
template <typename Payload>
PyObject* box_new(PyTypeObject* type, Payload&& payload) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return internal_error("Failed to allocate object");
    auto* b = reinterpret_cast<Box<Payload>*>(o);
    new (&b->borrow) BorrowFlag();
    new (&b->payload) Payload(std::forward<Payload>(payload));
    return o;
}

template <typename Payload>
Payload& payload_of(PyObject* self) {
    return reinterpret_cast<Box<Payload>*>(self)->payload;
}
template <typename Payload>
BorrowFlag& borrow_of(PyObject* self) {
    return reinterpret_cast<Box<Payload>*>(self)->borrow;
}

// tp_new of the classes that Python cannot construct: "No constructor defined for X".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a heap type from `spec` and adds it to `module` under its short name.
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec);

// ------------------------------------------------------------------ method helpers
// Wraps a read-only getter/method body: takes a shared borrow of the instance's record.
template <typename Payload, typename F>
PyObject* with_read(PyObject* self, F&& f) {
    ReadBorrow guard(borrow_of<Payload>(self));
    if (!guard.ok()) return nullptr;
    return f(payload_of<Payload>(self));
}

// ------------------------------------------------------------------ pickling
// __reduce__ of a class: (cls._from_state, (state,)), the state written by `encode` (a callable
// on the payload, run without the interpreter lock).
template <typename Payload, typename Encode>
PyObject* reduce_to_state(PyObject* self, Encode&& encode) {
    ReadBorrow guard(borrow_of<Payload>(self));
    if (!guard.ok()) return nullptr;
    std::string state;
    Payload& payload = payload_of<Payload>(self);
    if (!without_gil([&] { state = encode(payload); })) return nullptr;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
    if (!bytes) return nullptr;
    // The class's _from_state, bound once (the module is initialised once per process).
    static PyObject* restore = nullptr;
    if (!restore) {
        restore = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state");
        if (!restore) return nullptr;
    }
    return Py_BuildValue("(O(O))", restore, bytes.get());
}

// cls._from_state(state): a new instance of `type` from a state, or ValueError with the
// decoder's message. `decode` maps the state's bytes to an Expected record; the payload is the
// record itself or a shared pointer to it.
template <typename Payload, typename Decode>
PyObject* restore_from_state(PyTypeObject* type, PyObject* arg, Decode&& decode) {
    std::string_view state;
    if (!conv_bytes(arg, "state", state)) return nullptr;
    std::optional<Payload> payload;
    std::string error;
    if (!without_gil([&] {
            auto rec = decode(state);
            using Record = std::decay_t<decltype(rec.value())>;
            if (!rec) error = rec.error();
            else if constexpr (std::is_same_v<Payload, Record>) payload.emplace(std::move(rec.value()));
            else payload.emplace(std::make_shared<const Record>(std::move(rec.value())));
        }))
        return nullptr;
    if (!payload) return raise(PyExc_ValueError, error);
    return box_new<Payload>(type, std::move(*payload));
}

inline constexpr const char* kReduceDoc = "__reduce__($self)\n--\n\nPickling support";
inline constexpr const char* kFromStateDoc =
    "_from_state($cls, state, /)\n--\n\nThe object a pickle state stands for (used by pickle)";

// Reads a whole file without the interpreter lock, raising IOError with `prefix` + the read
// error's message on failure.
bool read_file_or_raise(std::string_view path, std::string& out, std::string_view prefix = {});

}  // namespace tessora::py
