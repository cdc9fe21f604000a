// RinexObsData.to_rtcm3 and its per-epoch form for replays: the record (and navigation data) as
// an RTCM 3 stream, encoded without the interpreter lock.
#include "python/binding.hpp"  // Python.h first

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "python/classes.hpp"
#include "rtcm/encode.hpp"
#include "rtcm/gnss_time.hpp"

namespace tessora::py {

namespace {

bool import_datetime() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

// A naive datetime.datetime as GPS seconds of the same calendar time.
bool conv_datetime(PyObject* o, const char* name, double& out) {
    if (!import_datetime()) return false;
    if (!PyDateTime_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected datetime.datetime, got %s", name, Py_TYPE(o)->tp_name);
        return false;
    }
    const EpochTime t{PyDateTime_GET_YEAR(o), static_cast<std::uint32_t>(PyDateTime_GET_MONTH(o)),
                      static_cast<std::uint32_t>(PyDateTime_GET_DAY(o)),
                      static_cast<std::uint32_t>(PyDateTime_DATE_GET_HOUR(o)),
                      static_cast<std::uint32_t>(PyDateTime_DATE_GET_MINUTE(o)),
                      PyDateTime_DATE_GET_SECOND(o) + PyDateTime_DATE_GET_MICROSECOND(o) * 1e-6};
    out = rtcm::gps_seconds(t);
    return true;
}

PyObject* make_datetime(const EpochTime& t) {
    if (!import_datetime()) return nullptr;
    const double whole = std::floor(t.second);
    int micro = static_cast<int>(std::lround((t.second - whole) * 1e6));
    if (micro > 999999) micro = 999999;
    return PyDateTime_FromDateAndTime(t.year, static_cast<int>(t.month), static_cast<int>(t.day),
                                      static_cast<int>(t.hour), static_cast<int>(t.minute),
                                      static_cast<int>(std::min(whole, 59.0)), micro);
}

// Reads nav and msm; fills the options. False with an exception set.
bool encode_arguments(PyObject* nav_arg, PyObject* msm_arg, NavPayload& nav, rtcm::EncodeOptions& options) {
    if (!absent(nav_arg)) {
        if (!conv_instance(nav_arg, g_navigation_type, "nav")) return false;
        nav = navigation_payload(nav_arg);
        if (!nav) return false;
    }
    if (msm_arg) {
        std::uint64_t msm = 0;
        if (!conv_count(msm_arg, "msm", msm)) return false;
        if (msm != 4 && msm != 7) {
            raise(PyExc_ValueError, "msm must be 4 or 7");
            return false;
        }
        options.msm = static_cast<int>(msm);
    }
    return true;
}

std::optional<std::vector<rtcm::EncodedEpoch>> encode(PyObject* self, const NavPayload& nav,
                                                      const rtcm::EncodeOptions& options) {
    ObsPayload record = obs_payload(self);
    if (!record) return std::nullopt;
    std::optional<Expected<std::vector<rtcm::EncodedEpoch>>> result;
    if (!without_gil([&] { result.emplace(rtcm::encode_rtcm3(*record, nav.get(), options)); })) return std::nullopt;
    if (!*result) {
        raise(PyExc_ValueError, result->error());
        return std::nullopt;
    }
    return std::move(result->value());
}

PyObject* to_rtcm3_py(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"nav", "msm"};
    PyObject* a[2];
    if (PyTuple_GET_SIZE(args) > 1)
        return PyErr_Format(PyExc_TypeError, "to_rtcm3() takes at most 1 positional argument (%zd given)",
                            PyTuple_GET_SIZE(args));
    if (!bind_args("to_rtcm3", names, 2, 0, args, kwargs, a)) return nullptr;
    NavPayload nav;
    rtcm::EncodeOptions options;
    if (!encode_arguments(a[0], a[1], nav, options)) return nullptr;
    auto epochs = encode(self, nav, options);
    if (!epochs) return nullptr;
    std::size_t size = 0;
    for (const auto& e : *epochs) size += e.bytes.size();
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out.get());
    for (const auto& e : *epochs) p = std::copy(e.bytes.begin(), e.bytes.end(), p);
    return out.release();
}

PyObject* rtcm3_epochs_py(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"nav", "msm", "start", "end"};
    PyObject* a[4];
    if (!bind_args("_rtcm3_epochs", names, 4, 0, args, kwargs, a)) return nullptr;
    NavPayload nav;
    rtcm::EncodeOptions options;
    if (!encode_arguments(a[0], a[1], nav, options)) return nullptr;
    double bound = 0.0;
    if (!absent(a[2])) {
        if (!conv_datetime(a[2], "start", bound)) return nullptr;
        options.from = bound;
    }
    if (!absent(a[3])) {
        if (!conv_datetime(a[3], "end", bound)) return nullptr;
        options.until = bound;
    }
    // The bounds are calendar times of the record's epochs; the encoder compares GPS times.
    ObsPayload record = obs_payload(self);
    if (!record) return nullptr;
    if (record->time_system == "BDT" || record->time_system == "GLO" || record->time_system == "UTC") {
        const double shift = record->time_system == "BDT" ? rtcm::kBeidouSecondsBehind : 18.0;
        if (options.from) options.from = *options.from + shift;
        if (options.until) options.until = *options.until + shift;
    }
    auto epochs = encode(self, nav, options);
    if (!epochs) return nullptr;
    return make_list(*epochs, [](const rtcm::EncodedEpoch& e) -> PyObject* {
        Ref time = Ref::steal(make_datetime(e.time));
        Ref data = Ref::steal(PyBytes_FromStringAndSize(e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size())));
        if (!time || !data) return nullptr;
        return PyTuple_Pack(2, time.get(), data.get());
    });
}

}  // namespace

PyMethodDef kToRtcm3Def = {
    "to_rtcm3", reinterpret_cast<PyCFunction>(to_rtcm3_py), METH_VARARGS | METH_KEYWORDS,
    "to_rtcm3($self, nav=None, *, msm=7)\n--\n\n"
    "The observations as an RTCM 3 stream (bytes): per epoch one MSM7 (msm=4: MSM4) message per system, "
    "with the station position (1005) and descriptors (1033), and the broadcast ephemerides of nav "
    "(1019, 1020, 1042, 1044, 1046). Signal strength keeps 1/16 dB-Hz in MSM7 and 1 dB-Hz in MSM4; signals "
    "that the messages cannot number are left out. read_rtcm3 reads the stream back"};

PyMethodDef kRtcm3EpochsDef = {
    "_rtcm3_epochs", reinterpret_cast<PyCFunction>(rtcm3_epochs_py), METH_VARARGS | METH_KEYWORDS,
    "_rtcm3_epochs($self, nav=None, msm=7, start=None, end=None)\n--\n\n"
    "The stream of to_rtcm3 as a list of (time, bytes), one per epoch from start to end (naive datetimes of "
    "the record's epochs, both included); station messages and ephemerides are repeated within it"};

}  // namespace tessora::py
