#include "columns/table.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "common/block_cache.hpp"

namespace tessora {

namespace {
constexpr std::size_t kAlign = 64;
constexpr std::size_t kCached = std::size_t{4} << 20;  // blocks from here up come from the cache
}  // namespace

OwnedBlock::OwnedBlock(std::size_t bytes) {
    if (bytes >= kCached) {
        data_ = BlockCache::acquire(bytes);
        capacity_ = BlockCache::block_size(bytes);
        cached_ = true;
        return;
    }
    capacity_ = (bytes + kAlign - 1) / kAlign * kAlign;
    if (capacity_ == 0) capacity_ = kAlign;
    data_ = std::aligned_alloc(kAlign, capacity_);
    if (!data_) throw std::bad_alloc();
}

OwnedBlock::~OwnedBlock() {
    if (cached_)
        BlockCache::release(data_, capacity_);
    else
        std::free(data_);
}

std::size_t Table::owned_bytes() const {
    std::size_t n = 0;
    for (const auto& b : blocks) n += b->capacity();
    return n;
}

const Column* Table::find(std::string_view name) const {
    for (const auto& c : columns)
        if (c.name == name) return &c;
    return nullptr;
}

void* TableBuilder::allocate_bytes(std::size_t bytes) {
    table_->blocks.push_back(std::make_unique<OwnedBlock>(bytes));
    return table_->blocks.back()->data();
}

std::uint8_t* TableBuilder::allocate_bitmap(std::size_t n) {
    auto* bits = allocate<std::uint8_t>((n + 7) / 8);
    std::memset(bits, 0, (n + 7) / 8);
    return bits;
}

void TableBuilder::add(Column c) { table_->columns.push_back(std::move(c)); }

void TableBuilder::add_f64(std::string name, const std::vector<double>& v) {
    auto* out = allocate<double>(v.size());
    if (!v.empty()) std::memcpy(out, v.data(), v.size() * sizeof(double));
    add(Column{std::move(name), ColumnType::Float64, static_cast<std::int64_t>(v.size()), 0, nullptr, out, nullptr, {}});
}

void TableBuilder::add_i64(std::string name, ColumnType type, const std::vector<std::int64_t>& v) {
    auto* out = allocate<std::int64_t>(v.size());
    if (!v.empty()) std::memcpy(out, v.data(), v.size() * sizeof(std::int64_t));
    add(Column{std::move(name), type, static_cast<std::int64_t>(v.size()), 0, nullptr, out, nullptr, {}});
}

void TableBuilder::add_u32(std::string name, const std::vector<std::uint32_t>& v) {
    auto* out = allocate<std::uint32_t>(v.size());
    if (!v.empty()) std::memcpy(out, v.data(), v.size() * sizeof(std::uint32_t));
    add(Column{std::move(name), ColumnType::UInt32, static_cast<std::int64_t>(v.size()), 0, nullptr, out, nullptr, {}});
}

void TableBuilder::add_bool(std::string name, const std::vector<bool>& v) {
    auto* bits = allocate_bitmap(v.size());
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    add(Column{std::move(name), ColumnType::Bool, static_cast<std::int64_t>(v.size()), 0, nullptr, bits, nullptr, {}});
}

std::shared_ptr<const Column> TableBuilder::utf8_column(const std::vector<std::string>& v) {
    std::size_t bytes = 0;
    for (const auto& s : v) bytes += s.size();
    auto* offsets = allocate<std::int32_t>(v.size() + 1);
    auto* chars = allocate<char>(bytes);
    std::int32_t at = 0;
    offsets[0] = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!v[i].empty()) std::memcpy(chars + at, v[i].data(), v[i].size());
        at += static_cast<std::int32_t>(v[i].size());
        offsets[i + 1] = at;
    }
    auto c = std::make_shared<Column>();
    c->type = ColumnType::Utf8;
    c->length = static_cast<std::int64_t>(v.size());
    c->values = offsets;
    c->chars = chars;
    return c;
}

void TableBuilder::add_utf8(std::string name, const std::vector<std::string>& v) {
    Column c = *utf8_column(v);
    c.name = std::move(name);
    add(std::move(c));
}

void TableBuilder::add_dict(std::string name, const std::vector<std::string>& v) {
    std::unordered_map<std::string_view, std::int32_t> index;
    std::vector<std::string> distinct;
    auto* codes = allocate<std::int32_t>(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        auto [it, fresh] = index.emplace(v[i], static_cast<std::int32_t>(distinct.size()));
        if (fresh) distinct.push_back(v[i]);
        codes[i] = it->second;
    }
    add(Column{std::move(name), ColumnType::DictUtf8, static_cast<std::int64_t>(v.size()), 0, nullptr, codes, nullptr,
               utf8_column(distinct)});
}

void TableBuilder::add_list(std::string name, const std::vector<std::vector<std::string>>& v) {
    std::vector<std::string> items;
    auto* offsets = allocate<std::int32_t>(v.size() + 1);
    offsets[0] = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        items.insert(items.end(), v[i].begin(), v[i].end());
        offsets[i + 1] = static_cast<std::int32_t>(items.size());
    }
    add(Column{std::move(name), ColumnType::ListUtf8, static_cast<std::int64_t>(v.size()), 0, nullptr, offsets, nullptr,
               utf8_column(items)});
}

std::optional<std::int64_t> civil_nanoseconds(std::int32_t year, std::uint32_t month, std::uint32_t day,
                                              std::uint32_t hour, std::uint32_t minute, double second) {
    if (month < 1 || month > 12 || !(std::fabs(second) < 1e9)) return std::nullopt;
    // Days from 1970-01-01 of a proleptic Gregorian date (the era-based day count).
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t m = month;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + static_cast<std::int64_t>(day) - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe - 719468;
    // 128-bit arithmetic: a damaged epoch line may name any year, hour or minute.
    const __int128 whole = (static_cast<__int128>(days) * 24 + hour) * 60 + minute;
    const __int128 ns = whole * 60'000'000'000 + static_cast<__int128>(std::llround(second * 1e9));
    if (ns <= static_cast<__int128>(INT64_MIN) || ns > static_cast<__int128>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(ns);
}

}  // namespace tessora
