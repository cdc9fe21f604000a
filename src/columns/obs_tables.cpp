#include "columns/obs_tables.hpp"

#include "navigation/geometry.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessora {

namespace {

std::string shortest(double v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Epoch timestamps in nanoseconds; validity set when some epoch cannot be represented.
struct EpochStamps {
    std::vector<std::int64_t> ns;
    std::vector<bool> valid;
    bool all_valid = true;
};

EpochStamps epoch_stamps(const RinexObsData& r) {
    EpochStamps s;
    s.ns.reserve(r.epochs.size());
    s.valid.reserve(r.epochs.size());
    for (const Epoch& e : r.epochs) {
        const auto& t = e.time;
        const auto ns = civil_nanoseconds(t.year, t.month, t.day, t.hour, t.minute, t.second);
        s.ns.push_back(ns.value_or(std::numeric_limits<std::int64_t>::min()));
        s.valid.push_back(ns.has_value());
        s.all_valid = s.all_valid && ns.has_value();
    }
    return s;
}

// The satellites of the epochs tile the observation arrays from the first value on, in order.
bool tiles_in_order(const RinexObsData& r, std::size_t& total) {
    total = 0;
    bool in_order = true;
    for (const auto& e : r.epochs)
        for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s) {
            in_order = in_order && s->obs_begin == total;
            total += s->obs_count;
        }
    return in_order && total == r.obs_values.size();
}

// The time and sv columns of one row per entry (long: per observation, wide: per satellite).
void fill_time_sv(TableBuilder& b, const RinexObsData& r, const EpochStamps& stamps, std::size_t rows,
                  bool per_observation) {
    auto* time = b.allocate<std::int64_t>(rows);
    auto* sv = b.allocate<std::int32_t>(rows);
    std::uint8_t* time_valid = stamps.all_valid ? nullptr : b.allocate_bitmap(rows);
    std::int64_t time_nulls = 0;
    std::size_t row = 0;
    for (std::size_t k = 0; k < r.epochs.size(); ++k) {
        const Epoch& e = r.epochs[k];
        const std::int64_t t = stamps.ns[k];
        for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s) {
            const std::size_t n = per_observation ? s->obs_count : 1;
            std::fill(time + row, time + row + n, t);
            std::fill(sv + row, sv + row + n, static_cast<std::int32_t>(s->sat));
            if (time_valid && stamps.valid[k])
                for (std::size_t i = row; i < row + n; ++i) time_valid[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
            if (!stamps.valid[k]) time_nulls += static_cast<std::int64_t>(n);
            row += n;
        }
    }
    const auto len = static_cast<std::int64_t>(rows);
    b.add(Column{"time", ColumnType::TimestampNs, len, time_nulls, time_valid, time, nullptr, {}});
    b.add(Column{"sv", ColumnType::DictUtf8, len, 0, nullptr, sv, nullptr, b.utf8_column(r.satellite_names)});
}

// The two indicator nibbles (lli: high, ssi: low) as uint8 columns, null where a nibble is 0xF.
struct IndicatorColumns {
    std::uint8_t* lli = nullptr;
    std::uint8_t* ssi = nullptr;
    std::uint8_t* lli_valid = nullptr;
    std::uint8_t* ssi_valid = nullptr;
    std::int64_t lli_nulls = 0;
    std::int64_t ssi_nulls = 0;
};

IndicatorColumns allocate_indicators(TableBuilder& b, std::size_t rows) {
    return {b.allocate<std::uint8_t>(rows), b.allocate<std::uint8_t>(rows), b.allocate_bitmap(rows),
            b.allocate_bitmap(rows), 0, 0};
}

// Fills both columns in one pass over the record's indicator bytes (in `order` when given).
void fill_indicators(IndicatorColumns& c, const std::uint8_t* ind, const std::uint32_t* order, std::size_t rows) {
    std::int64_t lli_present = 0, ssi_present = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t v = ind[order ? order[i] : i];
        const std::uint8_t hi = v >> 4, lo = v & 0xF;
        const bool has_hi = hi != 0xF, has_lo = lo != 0xF;
        c.lli[i] = has_hi ? hi : 0;
        c.ssi[i] = has_lo ? lo : 0;
        c.lli_valid[i / 8] |= static_cast<std::uint8_t>(has_hi) << (i % 8);
        c.ssi_valid[i / 8] |= static_cast<std::uint8_t>(has_lo) << (i % 8);
        lli_present += has_hi;
        ssi_present += has_lo;
    }
    c.lli_nulls = static_cast<std::int64_t>(rows) - lli_present;
    c.ssi_nulls = static_cast<std::int64_t>(rows) - ssi_present;
}

std::shared_ptr<const Table> long_table(std::shared_ptr<const RinexObsData> rec) {
    const RinexObsData& r = *rec;
    TableBuilder b;
    std::size_t rows = 0;
    const bool direct = tiles_in_order(r, rows);
    // A record with a satellite written twice in an epoch keeps the replaced values out of the
    // epochs: gather the observations the epochs name.
    std::vector<std::uint32_t> order;
    if (!direct) {
        order.reserve(rows);
        for (const auto& e : r.epochs)
            for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s)
                for (std::uint32_t i = 0; i < s->obs_count; ++i) order.push_back(s->obs_begin + i);
    }
    IndicatorColumns ind = allocate_indicators(b, rows);
    fill_indicators(ind, r.obs_indicators.data(), direct ? nullptr : order.data(), rows);
    fill_time_sv(b, r, epoch_stamps(r), rows, true);
    const auto len = static_cast<std::int64_t>(rows);
    // Interned code indices are far below 2^31: the uint32 array reads as Arrow's int32 indices.
    // An empty record (one restored from a state, say) may have no arrays at all: consumers get
    // a valid pointer for every buffer all the same.
    alignas(64) static const std::uint64_t kNoValues[8] = {};
    const void* codes = r.obs_codes.empty() ? kNoValues : static_cast<const void*>(r.obs_codes.data());
    const void* values = r.obs_values.empty() ? kNoValues : static_cast<const void*>(r.obs_values.data());
    if (!direct) {
        auto* c = b.allocate<std::int32_t>(rows);
        auto* v = b.allocate<double>(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            c[i] = static_cast<std::int32_t>(r.obs_codes[order[i]]);
            v[i] = r.obs_values[order[i]];
        }
        codes = c;
        values = v;
    }
    b.add(Column{"code", ColumnType::DictUtf8, len, 0, nullptr, codes, nullptr, b.utf8_column(r.code_names)});
    b.add(Column{"value", ColumnType::Float64, len, 0, nullptr, values, nullptr, {}});
    b.add(Column{"lli", ColumnType::UInt8, len, ind.lli_nulls, ind.lli_valid, ind.lli, nullptr, {}});
    b.add(Column{"ssi", ColumnType::UInt8, len, ind.ssi_nulls, ind.ssi_valid, ind.ssi, nullptr, {}});
    b.set_rows(len);
    b.metadata("layout", "long");
    add_header_metadata(b, r);
    b.keep(std::move(rec));
    return b.finish();
}

std::shared_ptr<const Table> wide_table(std::shared_ptr<const RinexObsData> rec) {
    const RinexObsData& r = *rec;
    TableBuilder b;
    std::size_t rows = 0;
    for (const auto& e : r.epochs) rows += e.sat_count;
    fill_time_sv(b, r, epoch_stamps(r), rows, false);

    // Columns by code name, for the codes with at least one value; codes of one name in several
    // systems share their column.
    std::vector<bool> used(r.code_names.size(), false);
    for (const auto& e : r.epochs)
        for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) used[r.obs_codes[i]] = true;
    std::vector<std::uint32_t> by_name;
    for (std::uint32_t i = 0; i < used.size(); ++i)
        if (used[i]) by_name.push_back(i);
    std::sort(by_name.begin(), by_name.end(), [&](auto a, auto c) { return r.code_names[a] < r.code_names[c]; });
    std::size_t names = 0;
    for (std::uint32_t k = 0; k < by_name.size(); ++k)
        names += k == 0 || r.code_names[by_name[k]] != r.code_names[by_name[k - 1]];
    // A damaged file can name thousands of codes, each used once: the grid of a pivot is then far
    // larger than the observations behind it.
    const double grid_bytes = static_cast<double>(rows) * static_cast<double>(names) * 8.125;
    if (grid_bytes > std::max(double(std::size_t{1} << 30), 16.0 * 8.0 * static_cast<double>(r.obs_values.size())))
        throw std::length_error("the wide layout of this record would take " +
                                std::to_string(static_cast<long long>(grid_bytes / (1 << 20))) +
                                " MiB for its values; use the long layout");
    std::vector<std::uint32_t> slot(r.code_names.size());
    std::vector<double*> data;
    std::vector<std::uint8_t*> valid;
    for (std::uint32_t k = 0; k < by_name.size(); ++k) {
        if (k > 0 && r.code_names[by_name[k]] == r.code_names[by_name[k - 1]]) {
            slot[by_name[k]] = slot[by_name[k - 1]];
            continue;
        }
        slot[by_name[k]] = static_cast<std::uint32_t>(data.size());
        data.push_back(b.allocate<double>(rows));
        std::fill(data.back(), data.back() + rows, std::numeric_limits<double>::quiet_NaN());
        valid.push_back(b.allocate_bitmap(rows));
    }
    std::size_t row = 0;
    for (const auto& e : r.epochs)
        for (auto* s = r.sats_begin(e); s != r.sats_end(e); ++s, ++row)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                const std::uint32_t col = slot[r.obs_codes[i]];
                data[col][row] = r.obs_values[i];
                valid[col][row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
            }
    const auto len = static_cast<std::int64_t>(rows);
    for (std::uint32_t k = 0; k < by_name.size(); ++k) {
        if (k > 0 && r.code_names[by_name[k]] == r.code_names[by_name[k - 1]]) continue;
        const std::uint32_t col = slot[by_name[k]];
        std::int64_t present = 0;
        for (std::size_t i = 0; i < (rows + 7) / 8; ++i) present += __builtin_popcount(valid[col][i]);
        b.add(Column{r.code_names[by_name[k]], ColumnType::Float64, len, len - present, valid[col], data[col], nullptr,
                     {}});
    }
    b.set_rows(len);
    b.metadata("layout", "wide");
    add_header_metadata(b, r);
    return b.finish();
}

}  // namespace

std::optional<ObsLayout> parse_obs_layout(std::string_view name) {
    if (name == "long") return ObsLayout::Long;
    if (name == "wide") return ObsLayout::Wide;
    return std::nullopt;
}

void add_header_metadata(TableBuilder& b, const RinexObsData& r) {
    b.metadata("version", shortest(r.version));
    b.metadata("marker", r.marker_name);
    b.metadata("receiver", r.receiver_type);
    b.metadata("receiver_firmware", r.receiver_firmware);
    b.metadata("antenna", r.antenna_type);
    if (r.approx_position) {
        const auto& p = *r.approx_position;
        b.metadata("position", "[" + shortest(p[0]) + ", " + shortest(p[1]) + ", " + shortest(p[2]) + "]");
        if (p[0] != 0.0 || p[1] != 0.0 || p[2] != 0.0) {  // 0 0 0 stands for an unknown position
            const Geodetic g = ecef_to_geodetic(p[0], p[1], p[2]);
            b.metadata("position_geodetic",
                       "[" + shortest(g.lat_deg) + ", " + shortest(g.lon_deg) + ", " + shortest(g.height) + "]");
        }
    }
    b.metadata("interval", shortest(r.interval));
    b.metadata("time_system", r.time_system);
    b.metadata("filename", r.file_name);
}

std::shared_ptr<const Table> observation_table(std::shared_ptr<const RinexObsData> record, ObsLayout layout) {
    return layout == ObsLayout::Long ? long_table(std::move(record)) : wide_table(std::move(record));
}

}  // namespace tessora
