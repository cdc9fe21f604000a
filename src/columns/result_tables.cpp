#include "columns/result_tables.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "rinex/epoch_time.hpp"

namespace tessora {

namespace {

std::optional<std::int64_t> stamp(std::string_view text) {
    const auto t = parse_epoch_text(text);
    if (!t) return std::nullopt;
    return civil_nanoseconds(t->year, t->month, t->day, t->hour, t->minute, t->second);
}

void set_bit(std::uint8_t* bits, std::size_t i) { bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8)); }

template <typename T>
void add_optional(TableBuilder& b, std::string name, ColumnType type, const std::vector<std::optional<T>>& v,
                  T missing) {
    auto* out = b.allocate<T>(v.size());
    auto* valid = b.allocate_bitmap(v.size());
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        out[i] = v[i].value_or(missing);
        if (v[i])
            set_bit(valid, i);
        else
            ++nulls;
    }
    b.add(Column{std::move(name), type, static_cast<std::int64_t>(v.size()), nulls, nulls ? valid : nullptr, out,
                 nullptr, {}});
}

std::shared_ptr<const Table> finish(TableBuilder& b, std::size_t rows, const std::string& station,
                                    const std::string& filename) {
    b.set_rows(static_cast<std::int64_t>(rows));
    b.metadata("station", station);
    b.metadata("filename", filename);
    return b.finish();
}

}  // namespace

void add_times(TableBuilder& b, std::string name, const std::vector<std::string>& texts) {
    std::vector<std::optional<std::int64_t>> v;
    v.reserve(texts.size());
    for (const auto& t : texts) v.push_back(stamp(t));
    add_optional<std::int64_t>(b, std::move(name), ColumnType::TimestampNs, v, std::numeric_limits<std::int64_t>::min());
}

void add_optional_f64(TableBuilder& b, std::string name, const std::vector<std::optional<double>>& v) {
    add_optional<double>(b, std::move(name), ColumnType::Float64, v, std::numeric_limits<double>::quiet_NaN());
}

void add_optional_i64(TableBuilder& b, std::string name, const std::vector<std::optional<std::int64_t>>& v) {
    add_optional<std::int64_t>(b, std::move(name), ColumnType::Int64, v, 0);
}

std::shared_ptr<const Table> points_table(const AnalysisResult& r) {
    struct Row {
        std::optional<std::int64_t> t;
        const SatelliteTimeseries* sat;
        const CN0Point* p;
    };
    std::vector<Row> rows;
    for (const auto& [key, s] : r.timeseries.satellite_timeseries)
        for (const auto& p : s.cn0_series) rows.push_back(Row{stamp(p.timestamp.view()), &s, &p});
    // The series are per satellite, in satellite order: a stable sort by time keeps that order
    // within an epoch (unreadable times last).
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        if (a.t.has_value() != b.t.has_value()) return a.t.has_value();
        return a.t && *a.t < *b.t;
    });
    TableBuilder b;
    std::vector<std::optional<std::int64_t>> time;
    std::vector<std::string> sv, system, code;
    std::vector<double> cn0, azimuth, elevation;
    for (const Row& row : rows) {
        time.push_back(row.t);
        sv.push_back(row.sat->satellite);
        system.push_back(row.sat->system);
        code.push_back(row.p->signal < row.sat->signals.size() ? row.sat->signals[row.p->signal] : row.sat->signal);
        cn0.push_back(row.p->cn0);
        azimuth.push_back(row.p->azimuth);
        elevation.push_back(row.p->elevation);
    }
    add_optional<std::int64_t>(b, "time", ColumnType::TimestampNs, time, std::numeric_limits<std::int64_t>::min());
    b.add_dict("sv", sv);
    b.add_dict("system", system);
    b.add_dict("code", code);
    b.add_f64("cn0", cn0);
    b.add_f64("azimuth", azimuth);
    b.add_f64("elevation", elevation);
    return finish(b, rows.size(), r.file_info.marker_name, r.file_info.filename);
}

std::shared_ptr<const Table> timeseries_table(const AnalysisResult& r) {
    const auto& ts = r.timeseries;
    TableBuilder b;
    add_times(b, "time", ts.timestamps);
    b.add_f64("mean_cn0", ts.mean_cn0);
    std::vector<std::int64_t> count(ts.satellite_count.begin(), ts.satellite_count.end());
    b.add_i64("satellite_count", ColumnType::Int64, count);
    return finish(b, ts.timestamps.size(), r.file_info.marker_name, r.file_info.filename);
}

std::shared_ptr<const Table> anomalies_table(const AnalysisResult& r) {
    TableBuilder b;
    std::vector<std::string> time, severity, type, description;
    std::vector<double> drop;
    std::vector<std::vector<std::string>> sats, systems;
    for (const auto& a : r.anomalies) {
        time.push_back(a.timestamp);
        severity.push_back(a.severity);
        type.push_back(a.event_type);
        description.push_back(a.description);
        drop.push_back(a.cn0_drop);
        sats.push_back(a.affected_satellites);
        systems.push_back(a.affected_systems);
    }
    add_times(b, "time", time);
    b.add_dict("severity", severity);
    b.add_dict("event_type", type);
    b.add_utf8("description", description);
    b.add_f64("cn0_drop", drop);
    b.add_list("affected_satellites", sats);
    b.add_list("affected_systems", systems);
    return finish(b, r.anomalies.size(), r.file_info.marker_name, r.file_info.filename);
}

std::shared_ptr<const Table> events_table(const InterferenceReport& r) {
    TableBuilder b;
    std::vector<std::string> start, end, peak, kind;
    std::vector<double> duration, worst, statistic;
    std::vector<std::vector<std::string>> bands, systems, affected, lost;
    std::vector<std::string> band_names;  // bands of any event, in the report's band order
    for (const auto& s : r.series)
        for (const auto& e : r.events)
            if (std::find(e.bands.begin(), e.bands.end(), s.band) != e.bands.end()) {
                band_names.push_back(s.band);
                break;
            }
    for (const auto& e : r.events) {
        start.push_back(e.start);
        end.push_back(e.end);
        peak.push_back(e.peak_time);
        duration.push_back(e.duration);
        worst.push_back(e.peak_degradation_db);
        kind.push_back(e.kind);
        bands.push_back(e.bands);
        systems.push_back(e.systems);
        affected.push_back(e.satellites_affected);
        lost.push_back(e.satellites_lost);
        statistic.push_back(e.statistic);
    }
    add_times(b, "start", start);
    add_times(b, "end", end);
    add_times(b, "peak_time", peak);
    b.add_f64("duration", duration);
    b.add_f64("peak_degradation_db", worst);
    b.add_dict("kind", kind);
    b.add_list("bands", bands);
    b.add_list("systems", systems);
    b.add_list("satellites_affected", affected);
    b.add_list("satellites_lost", lost);
    b.add_f64("statistic", statistic);
    for (const auto& band : band_names) {
        std::vector<std::optional<double>> v;
        for (const auto& e : r.events) {
            std::optional<double> value;
            for (const auto& d : e.degradation_db)
                if (d.band == band) value = d.value;
            v.push_back(value);
        }
        add_optional_f64(b, "degradation_db_" + band, v);
    }
    b.metadata("mode", r.mode);
    return finish(b, r.events.size(), r.station, r.filename);
}

std::shared_ptr<const Table> degradation_table(const InterferenceReport& r) {
    TableBuilder b;
    std::vector<std::string> time, band;
    std::vector<std::optional<double>> value;
    std::vector<std::uint32_t> tracked, lost;
    for (std::size_t k = 0; k < r.timestamps.size(); ++k)
        for (const auto& s : r.series) {
            time.push_back(r.timestamps[k]);
            band.push_back(s.band);
            const double d = k < s.degradation.size() ? s.degradation[k] : std::nan("");
            value.push_back(std::isnan(d) ? std::nullopt : std::optional<double>(d));
            tracked.push_back(k < s.tracked.size() ? s.tracked[k] : 0);
            lost.push_back(k < s.lost.size() ? s.lost[k] : 0);
        }
    add_times(b, "time", time);
    b.add_dict("band", band);
    add_optional_f64(b, "degradation_db", value);
    b.add_u32("tracked", tracked);
    b.add_u32("lost", lost);
    b.metadata("mode", r.mode);
    return finish(b, time.size(), r.station, r.filename);
}

}  // namespace tessora
