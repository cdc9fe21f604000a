// Export of a Table through the Arrow C data interface: the ABI-stable structs every Arrow
// implementation (pyarrow, polars, duckdb, nanoarrow, ...) imports without copying. The structs
// are declared here as the interface fixes them; no Arrow library is needed.
#pragma once

#include <cstdint>
#include <memory>

#include "columns/table.hpp"

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
#endif

namespace tessora {

// Fills `out` with the table's schema: a struct of its columns, with the table's metadata.
// Throws std::bad_alloc only; `out` is untouched then.
void export_schema(const Table& table, ArrowSchema* out);

// Fills `out` with a stream of one record batch holding every row. The stream and each array it
// yields keep the table alive, and each child array can be moved and released on its own.
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

}  // namespace tessora
