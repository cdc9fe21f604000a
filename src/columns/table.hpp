// An immutable table of typed columns in Arrow's memory layout, which the binding hands out through
// the Arrow C data interface and as numpy buffers without copying.
//
// A column's buffers either belong to the table (blocks it allocated and filled) or point into a
// record the table keeps alive (an observation record's value and code arrays). Whoever holds a
// shared_ptr to the table holds every buffer of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessora {

enum class ColumnType : std::uint8_t {
    Float64,      // double
    Int64,        // int64_t
    UInt32,       // uint32_t
    UInt8,        // uint8_t
    Bool,         // one bit per row
    TimestampNs,  // int64_t nanoseconds since 1970-01-01 of the file's time scale, no time zone
    Utf8,         // int32 offsets and the bytes
    DictUtf8,     // int32 indices into a Utf8 dictionary
    ListUtf8,     // int32 offsets into a Utf8 child column
};

// A block of column memory owned by the table: large blocks come from the block cache (faulted-in
// pages kept between tables), small ones from the heap, 64-byte aligned either way.
class OwnedBlock {
public:
    explicit OwnedBlock(std::size_t bytes);
    ~OwnedBlock();
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    void* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }  // bytes actually held

private:
    void* data_ = nullptr;
    std::size_t capacity_ = 0;
    bool cached_ = false;
};

struct Column {
    std::string name;
    ColumnType type = ColumnType::Float64;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    const std::uint8_t* validity = nullptr;  // bit i (LSB first) set when row i is valid; null: all valid
    const void* values = nullptr;            // values, bits, indices or int32 offsets
    const char* chars = nullptr;             // the bytes of a Utf8 column
    std::shared_ptr<const Column> child;     // the dictionary of DictUtf8, the items of ListUtf8
};

struct Table {
    std::int64_t num_rows = 0;
    std::vector<Column> columns;
    std::vector<std::pair<std::string, std::string>> metadata;  // the schema's key/value pairs
    std::vector<std::shared_ptr<const void>> keep_alive;       // records the columns point into
    std::vector<std::unique_ptr<OwnedBlock>> blocks;           // buffers the table filled itself

    // Bytes of the buffers the table owns (what it costs beyond the records it points into).
    std::size_t owned_bytes() const;
    const Column* find(std::string_view name) const;
};

// Builds a table column by column, owning the buffers it allocates.
class TableBuilder {
public:
    template <typename T>
    T* allocate(std::size_t n) {
        return static_cast<T*>(allocate_bytes(n * sizeof(T)));
    }
    // A zeroed validity bitmap of n bits.
    std::uint8_t* allocate_bitmap(std::size_t n);

    void add(Column c);
    void add_f64(std::string name, std::vector<double> const& v);
    void add_i64(std::string name, ColumnType type, std::vector<std::int64_t> const& v);
    void add_u32(std::string name, std::vector<std::uint32_t> const& v);
    void add_bool(std::string name, std::vector<bool> const& v);
    void add_utf8(std::string name, const std::vector<std::string>& v);
    // Texts as dictionary indices; the dictionary lists the distinct texts in order of first use.
    void add_dict(std::string name, const std::vector<std::string>& v);
    void add_list(std::string name, const std::vector<std::vector<std::string>>& v);
    // A Utf8 column of the given texts, not added to the table (a dictionary or list items).
    std::shared_ptr<const Column> utf8_column(const std::vector<std::string>& v);

    // Marks nulls in the column added last.
    void set_last_nulls(std::int64_t nulls, const std::uint8_t* validity) {
        table_->columns.back().null_count = nulls;
        table_->columns.back().validity = validity;
    }
    void keep(std::shared_ptr<const void> owner) { table_->keep_alive.push_back(std::move(owner)); }
    void set_rows(std::int64_t n) { table_->num_rows = n; }
    void metadata(std::string key, std::string value) { table_->metadata.emplace_back(std::move(key), std::move(value)); }
    std::shared_ptr<const Table> finish() { return std::move(table_); }

private:
    void* allocate_bytes(std::size_t bytes);
    std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

// Nanoseconds of a civil date and time since 1970-01-01T00:00:00 (proleptic Gregorian calendar,
// no leap seconds): what Arrow's and numpy's timestamps count. nullopt for a time they cannot hold
// (or a month outside 1-12); INT64_MIN is left out, since numpy reads it as "not a time".
std::optional<std::int64_t> civil_nanoseconds(std::int32_t year, std::uint32_t month, std::uint32_t day,
                                              std::uint32_t hour, std::uint32_t minute, double second);

}  // namespace tessora
