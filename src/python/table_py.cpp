// The Table class: columns handed out through the Arrow PyCapsule interface and, for numpy, as
// read-only buffers; and the methods of the other classes that make tables.
#include <cstring>
#include <stdexcept>

#include "columns/arrow_export.hpp"
#include "columns/obs_tables.hpp"
#include "columns/result_tables.hpp"
#include "python/classes.hpp"

namespace tessora::py {

PyTypeObject* g_table_type = nullptr;

namespace {

using TablePayload = std::shared_ptr<const Table>;
PyTypeObject* g_buffer_type = nullptr;

template <typename F>
PyObject* read_table(PyObject* self, F&& f) {
    return with_read<TablePayload>(self, [&](TablePayload& p) { return f(p); });
}

// ------------------------------------------------------------------ column buffers
// A read-only byte buffer into a table's memory; it keeps the table alive.
struct BufferPayload {
    TablePayload table;
    const void* data = nullptr;
    Py_ssize_t size = 0;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    const BufferPayload& p = payload_of<BufferPayload>(self);
    return PyBuffer_FillInfo(view, self, const_cast<void*>(p.data), p.size, 1, flags);
}

PyType_Slot kBufferSlots[] = {
    {Py_tp_doc, const_cast<char*>("Read-only memory of a Table column")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<BufferPayload>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {0, nullptr},
};
PyType_Spec kBufferSpec = {"tessora_cn0._ColumnBuffer", sizeof(Box<BufferPayload>), 0, Py_TPFLAGS_DEFAULT,
                           kBufferSlots};

// A memoryview of `size` bytes at `data`, or None for a buffer the column does not have.
PyObject* memory_of(const TablePayload& t, const void* data, std::size_t size) {
    if (!data) Py_RETURN_NONE;
    Ref holder = Ref::steal(box_new<BufferPayload>(g_buffer_type, BufferPayload{t, data, static_cast<Py_ssize_t>(size)}));
    if (!holder) return nullptr;
    return PyMemoryView_FromObject(holder.get());
}

const char* kind_name(ColumnType t) {
    switch (t) {
        case ColumnType::Float64: return "float64";
        case ColumnType::Int64: return "int64";
        case ColumnType::UInt32: return "uint32";
        case ColumnType::UInt8: return "uint8";
        case ColumnType::Bool: return "bool";
        case ColumnType::TimestampNs: return "timestamp[ns]";
        case ColumnType::Utf8: return "string";
        case ColumnType::DictUtf8: return "dictionary<string>";
        case ColumnType::ListUtf8: return "list<string>";
    }
    return "?";
}

std::size_t value_bytes(const Column& c) {
    const auto n = static_cast<std::size_t>(c.length);
    switch (c.type) {
        case ColumnType::Float64:
        case ColumnType::Int64:
        case ColumnType::TimestampNs: return n * 8;
        case ColumnType::UInt32:
        case ColumnType::DictUtf8: return n * 4;
        case ColumnType::UInt8: return n;
        case ColumnType::Bool: return (n + 7) / 8;
        case ColumnType::Utf8:
        case ColumnType::ListUtf8: return (n + 1) * 4;
    }
    return 0;
}

// The texts of a Utf8 column as a list of str.
PyObject* texts_of(const Column& c) {
    const auto* off = static_cast<const std::int32_t*>(c.values);
    Ref list = Ref::steal(PyList_New(c.length));
    if (!list) return nullptr;
    for (std::int64_t i = 0; i < c.length; ++i) {
        PyObject* s = make_str(std::string_view(c.chars + off[i], static_cast<std::size_t>(off[i + 1] - off[i])));
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

// The items of a list column, one list of str per row.
PyObject* lists_of(const Column& c) {
    const auto* off = static_cast<const std::int32_t*>(c.values);
    Ref items = Ref::steal(texts_of(*c.child));
    if (!items) return nullptr;
    Ref rows = Ref::steal(PyList_New(c.length));
    if (!rows) return nullptr;
    for (std::int64_t i = 0; i < c.length; ++i) {
        PyObject* row = PyList_GetSlice(items.get(), off[i], off[i + 1]);
        if (!row) return nullptr;
        PyList_SET_ITEM(rows.get(), i, row);
    }
    return rows.release();
}

// ------------------------------------------------------------------ Table
PyObject* get_num_rows(PyObject* self, void*) {
    return read_table(self, [](const TablePayload& t) { return make_uint(static_cast<std::uint64_t>(t->num_rows)); });
}
PyObject* get_num_columns(PyObject* self, void*) {
    return read_table(self, [](const TablePayload& t) { return make_uint(t->columns.size()); });
}
PyObject* get_column_names(PyObject* self, void*) {
    return read_table(self,
                      [](const TablePayload& t) { return make_list(t->columns, [](const Column& c) { return make_str(c.name); }); });
}
PyObject* get_metadata(PyObject* self, void*) {
    return read_table(self, [](const TablePayload& t) -> PyObject* {
        Ref d = Ref::steal(make_dict());
        if (!d) return nullptr;
        for (const auto& [k, v] : t->metadata)
            if (!dict_set(d.get(), k, make_str(v))) return nullptr;
        return d.release();
    });
}
PyObject* get_nbytes(PyObject* self, void*) {
    return read_table(self, [](const TablePayload& t) { return make_uint(t->owned_bytes()); });
}

Py_ssize_t table_len(PyObject* self) {
    ReadBorrow guard(borrow_of<TablePayload>(self));
    if (!guard.ok()) return -1;
    return static_cast<Py_ssize_t>(payload_of<TablePayload>(self)->num_rows);
}

PyObject* table_repr(PyObject* self) {
    return read_table(self, [](const TablePayload& t) {
        std::string s = "Table(rows=" + std::to_string(t->num_rows) + ", columns=[";
        for (std::size_t i = 0; i < t->columns.size(); ++i) s += (i ? ", '" : "'") + t->columns[i].name + "'";
        return make_str(s + "])");
    });
}

void schema_capsule_free(PyObject* capsule) {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

void stream_capsule_free(PyObject* capsule) {
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

PyObject* arrow_schema(PyObject* self, PyObject*) {
    return read_table(self, [](const TablePayload& t) -> PyObject* {
        auto* s = new (std::nothrow) ArrowSchema{};
        if (!s) return PyErr_NoMemory();
        try {
            export_schema(*t, s);
        } catch (const std::bad_alloc&) {
            delete s;
            return PyErr_NoMemory();
        }
        PyObject* capsule = PyCapsule_New(s, "arrow_schema", schema_capsule_free);
        if (!capsule) {
            s->release(s);
            delete s;
        }
        return capsule;
    });
}

PyObject* arrow_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"requested_schema"};
    PyObject* a[1] = {nullptr};
    if (!bind_args("__arrow_c_stream__", names, 1, 0, args, kwargs, a)) return nullptr;
    // The columns have one type each: a requested schema is a wish the consumer casts to itself.
    return read_table(self, [](const TablePayload& t) -> PyObject* {
        auto* s = new (std::nothrow) ArrowArrayStream{};
        if (!s) return PyErr_NoMemory();
        export_stream(t, s);
        PyObject* capsule = PyCapsule_New(s, "arrow_array_stream", stream_capsule_free);
        if (!capsule) {
            s->release(s);
            delete s;
        }
        return capsule;
    });
}

// _column(i): (name, kind, values, validity, extra). values and validity are memoryviews into
// the table (validity None when no row is null); extra is the dictionary (list of str) of a
// dictionary column, the texts of a string column, the rows' lists of a list column, else None.
PyObject* table_column(PyObject* self, PyObject* arg) {
    const Py_ssize_t i = PyLong_AsSsize_t(arg);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    return read_table(self, [&](const TablePayload& t) -> PyObject* {
        if (i < 0 || static_cast<std::size_t>(i) >= t->columns.size())
            return raise(PyExc_IndexError, "column index out of range");
        const Column& c = t->columns[static_cast<std::size_t>(i)];
        Ref values = Ref::steal(c.type == ColumnType::Utf8 ? (Py_INCREF(Py_None), Py_None)
                                                           : memory_of(t, c.values, value_bytes(c)));
        if (!values) return nullptr;
        Ref validity = Ref::steal(c.null_count ? memory_of(t, c.validity, (static_cast<std::size_t>(c.length) + 7) / 8)
                                               : (Py_INCREF(Py_None), Py_None));
        if (!validity) return nullptr;
        Ref extra;
        if (c.type == ColumnType::DictUtf8) extra = Ref::steal(texts_of(*c.child));
        else if (c.type == ColumnType::Utf8) extra = Ref::steal(texts_of(c));
        else if (c.type == ColumnType::ListUtf8) extra = Ref::steal(lists_of(c));
        else extra = Ref::steal((Py_INCREF(Py_None), Py_None));
        if (!extra) return nullptr;
        return Py_BuildValue("(ssOOO)", c.name.c_str(), kind_name(c.type), values.get(), validity.get(), extra.get());
    });
}

PyObject* to_arrow(PyObject* self, PyObject*) { return call_conversion("to_arrow", self); }
PyObject* to_pandas(PyObject* self, PyObject*) { return call_conversion("to_pandas", self); }
PyObject* to_polars(PyObject* self, PyObject*) { return call_conversion("to_polars", self); }
PyObject* to_numpy(PyObject* self, PyObject*) { return call_conversion("to_numpy", self); }

PyGetSetDef kTableGetSet[] = {
    {"num_rows", get_num_rows, nullptr, "Number of rows", nullptr},
    {"num_columns", get_num_columns, nullptr, "Number of columns", nullptr},
    {"column_names", get_column_names, nullptr, "Column names, in order", nullptr},
    {"metadata", get_metadata, nullptr, "The schema's metadata: header facts of the recording", nullptr},
    {"nbytes", get_nbytes, nullptr,
     "Bytes of the buffers the table holds beyond the record it was made from", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTableMethods[] = {
    {"__arrow_c_schema__", arrow_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's Arrow schema as a PyCapsule (Arrow PyCapsule interface)"},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(arrow_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table as an Arrow C stream in a PyCapsule (Arrow PyCapsule interface); no data is copied"},
    {"to_arrow", to_arrow, METH_NOARGS, "to_arrow($self)\n--\n\nThe table as a pyarrow.Table (needs pyarrow)"},
    {"to_pandas", to_pandas, METH_NOARGS,
     "to_pandas($self)\n--\n\nThe table as a pandas.DataFrame (needs pandas): categorical texts, nullable "
     "integers, NaN for missing values"},
    {"to_polars", to_polars, METH_NOARGS, "to_polars($self)\n--\n\nThe table as a polars.DataFrame (needs polars)"},
    {"to_numpy", to_numpy, METH_NOARGS,
     "to_numpy($self)\n--\n\nThe columns as a dict of numpy arrays (needs numpy): numbers and times without a "
     "copy, NaN or NaT where missing, masked arrays for integers with missing values, texts as object arrays"},
    {"_column", table_column, METH_O,
     "_column($self, index, /)\n--\n\n(name, kind, values, validity, extra) of one column, for the conversions"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kTableSlots[] = {
    {Py_tp_doc, const_cast<char*>("Columns of observations or results, readable by Arrow, pandas, polars, numpy "
                                  "and duckdb without copying")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<TablePayload>)},
    {Py_tp_getset, kTableGetSet},
    {Py_tp_methods, kTableMethods},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_mp_length, reinterpret_cast<void*>(table_len)},
    {0, nullptr},
};
PyType_Spec kTableSpec = {"tessora_cn0.Table", sizeof(Box<TablePayload>), 0, Py_TPFLAGS_DEFAULT, kTableSlots};

// ------------------------------------------------------------------ tables from Python values
// One column of _make_table: Python values converted to the column's kind, None as null.
bool python_column(TableBuilder& b, const std::string& name, std::string_view kind, PyObject* seq) {
    Ref fast = Ref::steal(PySequence_Fast(seq, "_make_table: the values of a column must be a sequence"));
    if (!fast) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    auto type_error = [&](Py_ssize_t i) {
        raise(PyExc_TypeError, "_make_table: column '" + name + "' row " + std::to_string(i) + " is not a " +
                                   std::string(kind) + " value");
        return false;
    };
    if (kind == "float64" || kind == "int64" || kind == "bool") {
        std::vector<std::optional<double>> f;
        std::vector<std::optional<std::int64_t>> l;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* o = items[i];
            if (o == Py_None) {
                f.emplace_back();
                l.emplace_back();
                continue;
            }
            if (kind == "float64") {
                const double v = PyFloat_AsDouble(o);
                if (v == -1.0 && PyErr_Occurred()) return (PyErr_Clear(), type_error(i));
                f.emplace_back(v);
            } else {
                if (!PyLong_Check(o)) return type_error(i);  // bool is an int
                const long long v = PyLong_AsLongLong(o);
                if (v == -1 && PyErr_Occurred()) return false;
                l.emplace_back(v);
            }
        }
        if (kind == "float64") {
            add_optional_f64(b, name, f);
        } else if (kind == "int64") {
            add_optional_i64(b, name, l);
        } else {
            auto* bits = b.allocate_bitmap(static_cast<std::size_t>(n));
            auto* valid = b.allocate_bitmap(static_cast<std::size_t>(n));
            std::int64_t nulls = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (!l[i]) {
                    ++nulls;
                    continue;
                }
                valid[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
                if (*l[i]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
            }
            b.add(Column{name, ColumnType::Bool, n, nulls, nulls ? valid : nullptr, bits, nullptr, {}});
        }
        return true;
    }
    std::vector<std::string> texts;
    std::vector<bool> present;
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view t;
        if (items[i] == Py_None) {
            texts.emplace_back();
            present.push_back(false);
            continue;
        }
        if (!PyUnicode_Check(items[i]) || !conv_text(items[i], "value", t)) return (PyErr_Clear(), type_error(i));
        texts.emplace_back(t);
        present.push_back(true);
    }
    if (kind == "timestamp[ns]") {
        add_times(b, name, texts);  // None gives no epoch text, hence null
        return true;
    }
    if (kind == "string") b.add_utf8(name, texts);
    else if (kind == "dictionary<string>") b.add_dict(name, texts);
    else return raise(PyExc_ValueError, "_make_table: unknown column kind '" + std::string(kind) + "'"), false;
    // Nulls of a text column: a validity bitmap over the texts.
    std::int64_t nulls = 0;
    auto* valid = b.allocate_bitmap(texts.size());
    for (std::size_t i = 0; i < present.size(); ++i) {
        if (present[i]) valid[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        nulls += !present[i];
    }
    b.set_last_nulls(nulls, nulls ? valid : nullptr);
    return true;
}

// _make_table(columns, metadata): a Table of [(name, kind, values), ...] and a dict of str.
PyObject* make_table_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"columns", "metadata"};
    PyObject* a[2] = {nullptr, nullptr};
    if (!bind_args("_make_table", names, 2, 2, args, kwargs, a)) return nullptr;
    TableBuilder b;
    Ref columns = Ref::steal(PySequence_Fast(a[0], "_make_table: columns must be a sequence"));
    if (!columns) return nullptr;
    Py_ssize_t rows = -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(columns.get()); ++i) {
        PyObject* spec = PySequence_Fast_GET_ITEM(columns.get(), i);
        PyObject *name = nullptr, *kind = nullptr, *values = nullptr;
        if (!PyTuple_Check(spec) || !PyArg_ParseTuple(spec, "UUO", &name, &kind, &values))
            return PyErr_Clear(), raise(PyExc_TypeError, "_make_table: a column is a (name, kind, values) tuple");
        std::string_view n, k;
        if (!conv_text(name, "name", n) || !conv_text(kind, "kind", k)) return nullptr;
        const Py_ssize_t len = PyObject_Length(values);
        if (len < 0) return nullptr;
        if (rows >= 0 && len != rows) return raise(PyExc_ValueError, "_make_table: columns of different lengths");
        rows = len;
        if (!python_column(b, std::string(n), k, values)) return nullptr;
    }
    if (!PyDict_Check(a[1])) return raise(PyExc_TypeError, "_make_table: metadata must be a dict");
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(a[1], &pos, &key, &value)) {
        std::string_view k, v;
        if (!conv_text(key, "metadata key", k) || !conv_text(value, "metadata value", v)) return nullptr;
        b.metadata(std::string(k), std::string(v));
    }
    b.set_rows(rows < 0 ? 0 : rows);
    return box_new<TablePayload>(g_table_type, b.finish());
}

}  // namespace

PyMethodDef kMakeTableDef = {"_make_table", reinterpret_cast<PyCFunction>(make_table_py), METH_VARARGS | METH_KEYWORDS,
                             "_make_table(columns, metadata)\n--\n\nA Table of (name, kind, values) columns, None as null"};

PyObject* call_conversion(const char* name, PyObject* arg) {
    Ref module = Ref::steal(PyImport_ImportModule("tessora_cn0._columns"));
    if (!module) return nullptr;
    Ref f = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!f) return nullptr;
    return PyObject_CallOneArg(f.get(), arg);
}

PyObject* make_table(const std::function<std::shared_ptr<const Table>()>& build) {
    std::shared_ptr<const Table> table;
    std::string refused;
    if (!without_gil([&] {
            try {
                table = build();
            } catch (const std::length_error& e) {
                refused = e.what();
            }
        }))
        return nullptr;
    if (!table) return raise(PyExc_ValueError, refused);
    return box_new<TablePayload>(g_table_type, std::move(table));
}

PyTypeObject* add_table_types(PyObject* module) {
    g_buffer_type = add_type(module, &kBufferSpec);
    if (!g_buffer_type) return nullptr;
    g_table_type = add_type(module, &kTableSpec);
    return g_table_type;
}

}  // namespace tessora::py
