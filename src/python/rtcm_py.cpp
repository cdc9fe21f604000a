// _read_rtcm3: an RTCM 3 recording (a path, compressed too, or bytes) decoded into the project's
// records, without the interpreter lock. The package's read_rtcm3 wraps the result.
#include <sys/stat.h>

#include <optional>
#include <string>

#include "archive/expand.hpp"
#include "common/file.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "rtcm/rtcm.hpp"

namespace tessora::py {

namespace {

constexpr std::string_view kRtcmReadPrefix = "Cannot read RTCM 3 file: ";

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

// "YYYY-MM-DD" as noon of that day, which lies within half a day of every epoch of the day
// whatever the time system.
std::optional<EpochTime> parse_iso_date(std::string_view s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
    int v[3] = {0, 0, 0};
    const int at[3][2] = {{0, 4}, {5, 2}, {8, 2}};
    for (int k = 0; k < 3; ++k)
        for (int i = at[k][0]; i < at[k][0] + at[k][1]; ++i) {
            if (s[i] < '0' || s[i] > '9') return std::nullopt;
            v[k] = 10 * v[k] + (s[i] - '0');
        }
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (v[0] < 1980 || v[1] < 1 || v[1] > 12) return std::nullopt;
    const int in_month = days[v[1] - 1] + (v[1] == 2 && leap_year(v[0]) ? 1 : 0);
    if (v[2] < 1 || v[2] > in_month) return std::nullopt;
    return EpochTime{v[0], static_cast<std::uint32_t>(v[1]), static_cast<std::uint32_t>(v[2]), 12, 0, 0.0};
}

namespace {

PyObject* counts_dict(const std::map<int, std::uint64_t>& counts) {
    Ref d = Ref::steal(make_dict());
    if (!d) return nullptr;
    for (const auto& [type, n] : counts) {
        Ref key = Ref::steal(PyLong_FromLong(type));
        Ref value = Ref::steal(make_uint(n));
        if (!key || !value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* recording_tuple(rtcm::RtcmRecording&& rec) {
    Ref counts = Ref::steal(counts_dict(rec.message_counts));
    if (!counts) return nullptr;
    Ref nav = rec.nav ? Ref::steal(wrap_navigation(std::move(*rec.nav))) : Ref::borrow(Py_None);
    if (!nav) return nullptr;
    Ref obs = Ref::steal(wrap_rinex_obs(std::move(rec.obs)));
    if (!obs) return nullptr;
    Ref skipped = Ref::steal(make_uint(rec.skipped_bytes)), crc = Ref::steal(make_uint(rec.crc_failures));
    Ref malformed = Ref::steal(make_uint(rec.malformed)), week = Ref::steal(make_str(rec.week_source));
    if (!skipped || !crc || !malformed || !week) return nullptr;
    return PyTuple_Pack(7, obs.get(), nav.get(), counts.get(), skipped.get(), crc.get(), malformed.get(), week.get());
}

PyObject* read_rtcm3_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"source", "date"};
    PyObject* a[2];
    if (!bind_args("_read_rtcm3", names, 2, 1, args, kwargs, a)) return nullptr;
    rtcm::RtcmOptions options;
    if (!absent(a[1])) {
        std::string_view text;
        if (!conv_text(a[1], "date", text)) return nullptr;
        options.date = parse_iso_date(text);
        if (!options.date) return raise(PyExc_ValueError, "date must be a datetime.date or a 'YYYY-MM-DD' text");
    }
    std::string owned;
    std::string_view bytes;
    if (PyUnicode_Check(a[0])) {
        std::string_view path;
        if (!conv_text(a[0], "source", path)) return nullptr;
        if (!read_file_or_raise(path, owned, kRtcmReadPrefix)) return nullptr;
        struct stat st {};
        const std::string p(path);
        if (::stat(p.c_str(), &st) == 0)
            options.file_time = static_cast<double>(st.st_mtim.tv_sec) + 1e-9 * static_cast<double>(st.st_mtim.tv_nsec);
        options.file_name = file_name_of(path);
        bytes = owned;
    } else if (PyBytes_Check(a[0])) {
        if (!conv_bytes(a[0], "source", bytes)) return nullptr;
    } else {
        return PyErr_Format(PyExc_TypeError, "argument 'source': expected str or bytes, got %s", Py_TYPE(a[0])->tp_name);
    }
    std::optional<rtcm::RtcmRecording> rec;
    std::string error;
    if (!without_gil([&] {
            auto expanded = expand_content(bytes);
            if (!expanded) {
                error = expanded.error();
                return;
            }
            rec.emplace(rtcm::decode_rtcm3(expanded.value().view(), options));
        }))
        return nullptr;
    if (!rec) return raise(PyExc_ValueError, error);
    return recording_tuple(std::move(*rec));
}

}  // namespace

PyMethodDef kReadRtcm3Def = {
    "_read_rtcm3", reinterpret_cast<PyCFunction>(read_rtcm3_py), METH_VARARGS | METH_KEYWORDS,
    "_read_rtcm3(source, date=None)\n--\n\n"
    "An RTCM 3 recording decoded: (obs, nav or None, message_counts, skipped_bytes, crc_failures, malformed, "
    "week_source). source is a path (compressed files too) or bytes; date a 'YYYY-MM-DD' text. Use read_rtcm3."};

}  // namespace tessora::py
