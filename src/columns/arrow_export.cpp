#include "columns/arrow_export.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tessora {

namespace {

// ------------------------------------------------------------------------------ schemas
// Everything a schema node points to lives in its private data.
struct SchemaData {
    std::string format;
    std::string name;
    std::string metadata;  // the interface's binary key/value encoding; empty: none
    std::vector<ArrowSchema*> children;
    ArrowSchema* dictionary = nullptr;
};

void release_schema(ArrowSchema* s) {
    if (!s || !s->release) return;
    auto* d = static_cast<SchemaData*>(s->private_data);
    for (ArrowSchema* c : d->children) {
        if (c->release) c->release(c);
        delete c;
    }
    if (d->dictionary) {
        if (d->dictionary->release) d->dictionary->release(d->dictionary);
        delete d->dictionary;
    }
    delete d;
    s->release = nullptr;
}

void append_i32(std::string& out, std::int32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }

std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
    if (pairs.empty()) return {};
    std::string out;
    append_i32(out, static_cast<std::int32_t>(pairs.size()));
    for (const auto& [k, v] : pairs) {
        append_i32(out, static_cast<std::int32_t>(k.size()));
        out += k;
        append_i32(out, static_cast<std::int32_t>(v.size()));
        out += v;
    }
    return out;
}

// Fills `s` as a node with the given format; the node owns `d`.
void fill_schema(ArrowSchema* s, SchemaData* d, std::int64_t flags) {
    s->format = d->format.c_str();
    s->name = d->name.c_str();
    s->metadata = d->metadata.empty() ? nullptr : d->metadata.data();
    s->flags = flags;
    s->n_children = static_cast<std::int64_t>(d->children.size());
    s->children = d->children.empty() ? nullptr : d->children.data();
    s->dictionary = d->dictionary;
    s->release = release_schema;
    s->private_data = d;
}

ArrowSchema* leaf_schema(const char* format, std::string name, std::int64_t flags) {
    auto d = std::make_unique<SchemaData>();
    d->format = format;
    d->name = std::move(name);
    auto* s = new ArrowSchema{};
    fill_schema(s, d.release(), flags);
    return s;
}

const char* format_of(ColumnType t) {
    switch (t) {
        case ColumnType::Float64: return "g";
        case ColumnType::Int64: return "l";
        case ColumnType::UInt32: return "I";
        case ColumnType::UInt8: return "C";
        case ColumnType::Bool: return "b";
        case ColumnType::TimestampNs: return "tsn:";
        case ColumnType::Utf8: return "u";
        case ColumnType::DictUtf8: return "i";  // the indices; the dictionary node says "u"
        case ColumnType::ListUtf8: return "+l";
    }
    return "n";
}

ArrowSchema* column_schema(const Column& c) {
    auto d = std::make_unique<SchemaData>();
    d->format = format_of(c.type);
    d->name = c.name;
    if (c.type == ColumnType::DictUtf8) d->dictionary = leaf_schema("u", "", 0);
    if (c.type == ColumnType::ListUtf8) d->children.push_back(leaf_schema("u", "item", ARROW_FLAG_NULLABLE));
    auto* s = new ArrowSchema{};
    fill_schema(s, d.release(), ARROW_FLAG_NULLABLE);
    return s;
}

// ------------------------------------------------------------------------------ arrays
// An array node's private data: the buffer pointers, its children and the table that owns the
// memory they point to.
struct ArrayData {
    std::shared_ptr<const Table> table;
    std::vector<const void*> buffers;
    std::vector<ArrowArray*> children;
    ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* a) {
    if (!a || !a->release) return;
    auto* d = static_cast<ArrayData*>(a->private_data);
    for (ArrowArray* c : d->children) {
        if (c->release) c->release(c);  // a child the consumer moved out was released by it
        delete c;
    }
    if (d->dictionary) {
        if (d->dictionary->release) d->dictionary->release(d->dictionary);
        delete d->dictionary;
    }
    delete d;
    a->release = nullptr;
}

ArrowArray* new_array(const std::shared_ptr<const Table>& table, std::int64_t length, std::int64_t null_count,
                      std::vector<const void*> buffers) {
    auto d = std::make_unique<ArrayData>();
    d->table = table;
    d->buffers = std::move(buffers);
    auto* a = new ArrowArray{};
    a->length = length;
    a->null_count = null_count;
    a->offset = 0;
    a->n_buffers = static_cast<std::int64_t>(d->buffers.size());
    a->buffers = d->buffers.data();
    a->release = release_array;
    a->private_data = d.release();
    return a;
}

void attach(ArrowArray* a) {
    auto* d = static_cast<ArrayData*>(a->private_data);
    a->n_children = static_cast<std::int64_t>(d->children.size());
    a->children = d->children.empty() ? nullptr : d->children.data();
    a->dictionary = d->dictionary;
}

ArrowArray* column_array(const std::shared_ptr<const Table>& t, const Column& c);

ArrowArray* utf8_array(const std::shared_ptr<const Table>& t, const Column& c) {
    return new_array(t, c.length, c.null_count, {c.validity, c.values, c.chars});
}

ArrowArray* column_array(const std::shared_ptr<const Table>& t, const Column& c) {
    switch (c.type) {
        case ColumnType::Utf8: return utf8_array(t, c);
        case ColumnType::DictUtf8: {
            ArrowArray* a = new_array(t, c.length, c.null_count, {c.validity, c.values});
            static_cast<ArrayData*>(a->private_data)->dictionary = utf8_array(t, *c.child);
            attach(a);
            return a;
        }
        case ColumnType::ListUtf8: {
            ArrowArray* a = new_array(t, c.length, c.null_count, {c.validity, c.values});
            static_cast<ArrayData*>(a->private_data)->children.push_back(utf8_array(t, *c.child));
            attach(a);
            return a;
        }
        default: return new_array(t, c.length, c.null_count, {c.validity, c.values});
    }
}

// ------------------------------------------------------------------------------ the stream
struct StreamData {
    std::shared_ptr<const Table> table;
    bool done = false;
    std::string error;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* d = static_cast<StreamData*>(s->private_data);
    try {
        export_schema(*d->table, out);
        return 0;
    } catch (const std::bad_alloc&) {
        d->error = "out of memory";
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* d = static_cast<StreamData*>(s->private_data);
    if (d->done) {  // the end of the stream: a released array
        std::memset(out, 0, sizeof *out);
        return 0;
    }
    try {
        ArrowArray* batch = new_array(d->table, d->table->num_rows, 0, {nullptr});
        auto* bd = static_cast<ArrayData*>(batch->private_data);
        try {
            for (const Column& c : d->table->columns) bd->children.push_back(column_array(d->table, c));
        } catch (...) {
            release_array(batch);
            delete batch;
            throw;
        }
        attach(batch);
        *out = *batch;  // the node moves into `out`; its heap shell goes
        delete batch;
        d->done = true;
        return 0;
    } catch (const std::bad_alloc&) {
        d->error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_error(ArrowArrayStream* s) {
    auto* d = static_cast<StreamData*>(s->private_data);
    return d->error.empty() ? nullptr : d->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
    if (!s || !s->release) return;
    delete static_cast<StreamData*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

void export_schema(const Table& table, ArrowSchema* out) {
    auto d = std::make_unique<SchemaData>();
    d->format = "+s";
    d->metadata = encode_metadata(table.metadata);
    try {
        for (const Column& c : table.columns) d->children.push_back(column_schema(c));
    } catch (...) {
        for (ArrowSchema* c : d->children) {
            c->release(c);
            delete c;
        }
        throw;
    }
    fill_schema(out, d.release(), 0);
}

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
    auto d = std::make_unique<StreamData>();
    d->table = std::move(table);
    out->get_schema = stream_schema;
    out->get_next = stream_next;
    out->get_last_error = stream_error;
    out->release = stream_release;
    out->private_data = d.release();
}

}  // namespace tessora
