// RinexObsData class and the observation-reading functions.
#include <algorithm>
#include <optional>

#include "cn0/state.hpp"
#include "columns/obs_tables.hpp"
#include "common/file.hpp"
#include "python/classes.hpp"
#include "rinex/obs_reader.hpp"
#include "rinex/obs_summary.hpp"
#include "rinex/obs_writer.hpp"

namespace tessora::py {

PyTypeObject* g_rinex_obs_type = nullptr;

namespace {

template <typename F>
PyObject* read_obs(PyObject* self, F&& f) {
    return with_read<ObsPayload>(self, [&](ObsPayload& p) { return f(*p); });
}

PyObject* get_version(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_float(r.version); });
}
PyObject* get_interval(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_float(r.interval); });
}
PyObject* get_num_epochs(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_uint(r.epochs.size()); });
}
PyObject* get_num_satellites(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_uint(r.distinct_satellites().size()); });
}
PyObject* get_marker_name(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_str(r.marker_name); });
}
PyObject* get_receiver_type(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_str(r.receiver_type); });
}
PyObject* get_receiver_firmware(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_str(r.receiver_firmware); });
}
PyObject* get_antenna_type(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) { return make_str(r.antenna_type); });
}
// APPROX POSITION XYZ as (x, y, z) in metres, or None when the header has none.
PyObject* get_approx_position(PyObject* self, void*) {
    return read_obs(self, [](const RinexObsData& r) -> PyObject* {
        if (!r.approx_position) Py_RETURN_NONE;
        const auto& p = *r.approx_position;
        return Py_BuildValue("(ddd)", p[0], p[1], p[2]);
    });
}

PyObject* satellites_by_system(PyObject* self, PyObject*) {
    return read_obs(self, [](const RinexObsData& r) -> PyObject* {
        auto groups = r.satellites_by_system();
        std::sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const auto& [system, ids] : groups) {
            PyObject* list = make_list(ids, [&](std::uint32_t id) { return make_str(r.satellite_names[id]); });
            if (!dict_set(d.get(), system, list)) return nullptr;
        }
        return d.release();
    });
}

PyObject* obs_types_by_system(PyObject* self, PyObject*) {
    return read_obs(self, [](const RinexObsData& r) -> PyObject* {
        std::vector<const ObsTypeList*> lists;
        for (const auto& t : r.obs_types) lists.push_back(&t);
        std::sort(lists.begin(), lists.end(), [](auto* a, auto* b) { return a->system < b->system; });
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const ObsTypeList* t : lists) {
            PyObject* list = make_list(t->codes, [&](std::uint32_t c) { return make_str(r.code_names[c]); });
            if (!dict_set(d.get(), std::string(1, t->system), list)) return nullptr;
        }
        return d.release();
    });
}

PyObject* snr_availability_py(PyObject* self, PyObject*) {
    return read_obs(self, [](const RinexObsData& r) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const auto& [system, any] : snr_availability(r))
            if (!dict_set(d.get(), system, make_bool(any))) return nullptr;
        return d.release();
    });
}

PyObject* debug_info_py(PyObject* self, PyObject*) {
    return read_obs(self, [](const RinexObsData& r) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const auto& [k, v] : debug_info(r))
            if (!dict_set(d.get(), k, make_str(v))) return nullptr;
        return d.release();
    });
}

PyObject* snr_stats_by_satellite_py(PyObject* self, PyObject*) {
    return read_obs(self, [](const RinexObsData& r) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const auto& s : snr_stats_by_satellite(r)) {
            Ref inner = Ref::steal(make_dict());
            if (!inner) return nullptr;
            if (!dict_set(inner.get(), "obs_count", make_float(s.obs_count)) ||
                !dict_set(inner.get(), "valid_count", make_float(s.valid_count)) ||
                !dict_set(inner.get(), "mean_snr", make_float(s.mean_snr)))
                return nullptr;
            if (!dict_set(d.get(), s.satellite, inner.release())) return nullptr;
        }
        return d.release();
    });
}

PyObject* obs_reduce(PyObject* self, PyObject*) {
    return reduce_to_state<ObsPayload>(self, [](const ObsPayload& p) { return encode_state(*p); });
}
PyObject* obs_from_state(PyObject* cls, PyObject* state) {
    return restore_from_state<ObsPayload>(reinterpret_cast<PyTypeObject*>(cls), state, decode_observations_state);
}

PyObject* obs_repr_py(PyObject* self) {
    return read_obs(self, [](const RinexObsData& r) { return make_str(obs_repr(r)); });
}

PyObject* observations_py(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"layout"};
    PyObject* a[1] = {nullptr};
    if (!bind_args("observations", names, 1, 0, args, kwargs, a)) return nullptr;
    std::string_view name = "long";
    if (a[0] && !conv_text(a[0], "layout", name)) return nullptr;
    const auto layout = parse_obs_layout(name);
    if (!layout) return raise(PyExc_ValueError, "layout must be 'long' or 'wide', not '" + std::string(name) + "'");
    ObsPayload record = obs_payload(self);
    if (!record) return nullptr;
    return make_table([&] { return observation_table(record, *layout); });
}

PyObject* to_xarray_py(PyObject* self, PyObject*) { return call_conversion("obs_to_xarray", self); }

// Writes the record without the interpreter lock: ValueError for what RINEX 3 cannot hold,
// OSError when the file cannot be written.
PyObject* to_rinex_py(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!bind_args("to_rinex", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view path;
    if (!conv_text(a[0], "path", path)) return nullptr;
    ObsPayload record = obs_payload(self);
    if (!record) return nullptr;
    WriteOutcome outcome;
    if (!without_gil([&] { outcome = write_rinex_obs_file(*record, path); })) return nullptr;
    if (outcome.failure == WriteFailure::io)
        return raise(PyExc_OSError, std::string(kObsWritePrefix) + outcome.message);
    if (outcome.failure == WriteFailure::unwritable)
        return raise(PyExc_ValueError, std::string(kObsWritePrefix) + outcome.message);
    Py_RETURN_NONE;
}

PyGetSetDef kGetSet[] = {
    {"version", get_version, nullptr, "Get RINEX version", nullptr},
    {"interval", get_interval, nullptr, "Get interval", nullptr},
    {"num_epochs", get_num_epochs, nullptr, "Get number of epochs", nullptr},
    {"num_satellites", get_num_satellites, nullptr, "Get number of satellites", nullptr},
    {"marker_name", get_marker_name, nullptr, "Get marker name", nullptr},
    {"receiver_type", get_receiver_type, nullptr, "Get receiver type", nullptr},
    {"receiver_firmware", get_receiver_firmware, nullptr, "Receiver firmware version (REC # / TYPE / VERS)", nullptr},
    {"antenna_type", get_antenna_type, nullptr, "Antenna type and radome (ANT # / TYPE)", nullptr},
    {"approx_position", get_approx_position, nullptr,
     "Approximate marker position (x, y, z), ECEF metres (APPROX POSITION XYZ), or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"satellites_by_system", satellites_by_system, METH_NOARGS,
     "satellites_by_system($self)\n--\n\nGet satellites grouped by constellation system\n"
     "Returns dict like {'G': ['G01', 'G02', ...], 'R': ['R01', ...], ...}"},
    {"obs_types_by_system", obs_types_by_system, METH_NOARGS,
     "obs_types_by_system($self)\n--\n\nGet observation types by constellation system\n"
     "Returns dict like {'G': ['C1C', 'L1C', 'S1C', ...], 'C': ['C1I', 'L1I', 'S1I', ...], ...}"},
    {"snr_availability", snr_availability_py, METH_NOARGS,
     "snr_availability($self)\n--\n\nCheck if S (SNR) observations exist for each system"},
    {"debug_info", debug_info_py, METH_NOARGS, "debug_info($self)\n--\n\nGet detailed debug info about parsing"},
    {"snr_stats_by_satellite", snr_stats_by_satellite_py, METH_NOARGS,
     "snr_stats_by_satellite($self)\n--\n\nGet SNR statistics per satellite\n"
     "Returns HashMap with satellite ID as key, stats dict as value"},
    {"observations", reinterpret_cast<PyCFunction>(observations_py), METH_VARARGS | METH_KEYWORDS,
     "observations($self, layout='long')\n--\n\n"
     "The observations as a Table. 'long': one row per observation (time, sv, code, value, lli, ssi); "
     "'wide': one row per epoch and satellite, one column per observation code"},
    {"to_xarray", to_xarray_py, METH_NOARGS,
     "to_xarray($self)\n--\n\nThe observations as an xarray.Dataset (needs xarray): dimensions time and sv, "
     "one float64 variable per observation code, NaN where absent"},
    {"to_rinex", reinterpret_cast<PyCFunction>(to_rinex_py), METH_VARARGS | METH_KEYWORDS,
     "to_rinex($self, path)\n--\n\n"
     "Write the observations as a RINEX 3.05 observation file: gzip-compressed when path ends in '.gz', "
     "Hatanaka-compacted (CRINEX 3.0) when it ends in '.crx', both for '.crx.gz'. Reading the file back "
     "gives the same record: values to three decimals, indicators, epoch flags and the header facts the "
     "record keeps (the version becomes 3.05). RINEX 2 codes without a RINEX 3 name (C7, S8, ...), values "
     "beyond F14.3 and epochs that do not fit an epoch line raise ValueError; a file that cannot be "
     "written raises OSError"},
    kToRtcm3Def,
    kRtcm3EpochsDef,
    {"__reduce__", obs_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", obs_from_state, METH_O | METH_CLASS, kFromStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for RinexObsData")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ObsPayload>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(obs_repr_py)},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessora_cn0.RinexObsData", sizeof(Box<ObsPayload>), 0, Py_TPFLAGS_DEFAULT, kSlots};

// Runs the reader and wraps its record, or raises ValueError with the reader's message.
// Runs the reader without the interpreter lock and wraps its record, or raises ValueError with
// the reader's message. `bytes` belongs to a Python bytes object (immutable) or to the caller,
// and stays alive until this returns.
PyObject* parse_and_wrap(std::string_view bytes, std::string_view file_name) {
    std::optional<Expected<RinexObsData>> rec;
    std::shared_ptr<const RinexObsData> shared;
    if (!without_gil([&] {
            rec.emplace(read_rinex_obs(bytes, file_name));
            if (*rec) shared = std::make_shared<const RinexObsData>(std::move(rec->value()));
        }))
        return nullptr;
    if (!*rec) return raise(PyExc_ValueError, rec->error());
    return box_new<ObsPayload>(g_rinex_obs_type, std::move(shared));
}

PyObject* read_rinex_obs_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!bind_args("read_rinex_obs", names, 1, 1, args, kwargs, a)) return nullptr;
    std::string_view path;
    if (!conv_text(a[0], "path", path)) return nullptr;
    std::string bytes;
    if (!read_file_or_raise(path, bytes)) return nullptr;
    return parse_and_wrap(bytes, file_name_of(path));
}

PyObject* read_bytes_impl(const char* fname, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"data", "filename"};
    PyObject* a[2];
    if (!bind_args(fname, names, 2, 2, args, kwargs, a)) return nullptr;
    std::string_view data, filename;
    if (!conv_bytes(a[0], "data", data) || !conv_text(a[1], "filename", filename)) return nullptr;
    return parse_and_wrap(data, filename);
}

PyObject* read_rinex_obs_bytes_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return read_bytes_impl("read_rinex_obs_bytes", args, kwargs);
}

PyObject* parse_rinex_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return read_bytes_impl("parse_rinex", args, kwargs);
}

PyObject* version_py(PyObject*, PyObject*) { return make_str(kVersion); }

}  // namespace

PyTypeObject* add_rinex_obs_type(PyObject* module) {
    g_rinex_obs_type = add_type(module, &kSpec);
    return g_rinex_obs_type;
}

ObsPayload obs_payload(PyObject* instance) {
    ReadBorrow guard(borrow_of<ObsPayload>(instance));
    if (!guard.ok()) return nullptr;
    return payload_of<ObsPayload>(instance);
}

PyObject* wrap_rinex_obs(RinexObsData&& rec) {
    auto shared = std::make_shared<const RinexObsData>(std::move(rec));
    return box_new<ObsPayload>(g_rinex_obs_type, std::move(shared));
}

PyMethodDef kReadRinexObsDef = {"read_rinex_obs", reinterpret_cast<PyCFunction>(read_rinex_obs_py),
                                METH_VARARGS | METH_KEYWORDS,
                                "read_rinex_obs(path)\n--\n\nRead RINEX observation file from path"};
PyMethodDef kReadRinexObsBytesDef = {"read_rinex_obs_bytes", reinterpret_cast<PyCFunction>(read_rinex_obs_bytes_py),
                                     METH_VARARGS | METH_KEYWORDS,
                                     "read_rinex_obs_bytes(data, filename)\n--\n\nRead RINEX observation file from bytes"};
PyMethodDef kParseRinexDef = {"parse_rinex", reinterpret_cast<PyCFunction>(parse_rinex_py),
                              METH_VARARGS | METH_KEYWORDS,
                              "parse_rinex(data, filename)\n--\n\nAlias for read_rinex_obs_bytes - parse RINEX from bytes"};
PyMethodDef kVersionDef = {"version", version_py, METH_NOARGS, "version()\n--\n\nGet library version"};

}  // namespace tessora::py
