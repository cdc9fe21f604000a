#include "cn0/json.hpp"

#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/numbers.hpp"

namespace tessora {

namespace {

// Output in two stages: values are written through a raw pointer into a small staging area
// that stays in the cache, and full stages are appended to the result string, which grows from
// its reserved capacity. No value is formatted into a temporary and the string is never
// zero-filled ahead of the text.
class Buffer {
public:
    static constexpr std::size_t kStage = 1 << 16;
    // Largest request room() serves; longer texts are written in slices.
    static constexpr std::size_t kMaxRoom = kStage / 2;

    explicit Buffer(std::size_t initial) { out_.reserve(initial < 128 ? 128 : initial); }

    // Pointer to at least `n` (<= kMaxRoom) writable bytes at the end of the text.
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(stage_ + kStage - p_) < n) flush();
        return p_;
    }
    void commit(char* end) { p_ = end; }

    void put(char c) {
        *room(1) = c;
        ++p_;
    }
    void put(std::string_view s) {
        char* p = room(s.size());
        std::memcpy(p, s.data(), s.size());
        p_ += s.size();
    }

    std::string finish() && {
        flush();
        return std::move(out_);
    }

private:
    void flush() {
        out_.append(stage_, p_);
        p_ = stage_;
    }

    std::string out_;
    char stage_[kStage];
    char* p_ = stage_;
};

constexpr char kHex[] = "0123456789abcdef";

// Escape class of each byte below 0x80: 0 raw, 1 short escape, 2 \u00XX.
constexpr unsigned char escape_kind(unsigned char c) {
    if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') return 1;
    if (c < 0x20) return 2;
    return 0;
}

struct EscapeTable {
    unsigned char kind[256];
    char short_form[256];
    constexpr EscapeTable() : kind{}, short_form{} {
        for (int c = 0; c < 256; ++c) {
            kind[c] = escape_kind(static_cast<unsigned char>(c));
            short_form[c] = 0;
        }
        short_form[static_cast<unsigned char>('"')] = '"';
        short_form[static_cast<unsigned char>('\\')] = '\\';
        short_form[static_cast<unsigned char>('\b')] = 'b';
        short_form[static_cast<unsigned char>('\t')] = 't';
        short_form[static_cast<unsigned char>('\n')] = 'n';
        short_form[static_cast<unsigned char>('\f')] = 'f';
        short_form[static_cast<unsigned char>('\r')] = 'r';
    }
};
constexpr EscapeTable kEscape{};

// Writes the characters of a JSON string (without the quotes): at most 6 bytes per input byte.
// Bytes are copied as they are except the quote, the backslash and the control characters below
// U+0020; UTF-8 sequences, U+007F and '/' pass unchanged.
char* write_string_body(char* p, std::string_view s) {
    const char* src = s.data();
    const char* const end = src + s.size();
    while (src < end) {
        const char* run = src;
        while (src < end && kEscape.kind[static_cast<unsigned char>(*src)] == 0) ++src;
        std::memcpy(p, run, static_cast<std::size_t>(src - run));
        p += src - run;
        if (src == end) break;
        const unsigned char c = static_cast<unsigned char>(*src++);
        *p++ = '\\';
        if (kEscape.kind[c] == 1) {
            *p++ = kEscape.short_form[c];
        } else {
            *p++ = 'u';
            *p++ = '0';
            *p++ = '0';
            *p++ = kHex[c >> 4];
            *p++ = kHex[c & 0xF];
        }
    }
    return p;
}

constexpr char kSpaces[] =
    "                                                                "
    "                                                                ";

// The structural writer. `first_` tracks whether the innermost open container has no member yet;
// after a value is closed its parent has at least one member, so `first_` is false again.
template <bool Pretty>
class Writer {
public:
    explicit Writer(std::size_t estimate) : out_(estimate) {}

    std::string finish() && { return std::move(out_).finish(); }

    void open(char c) {
        out_.put(c);
        ++depth_;
        first_ = true;
    }
    void close(char c) {
        --depth_;
        if constexpr (Pretty) {
            if (!first_) newline();
        }
        out_.put(c);
        first_ = false;
    }

    // Separator before an array element or object member.
    void element() {
        if constexpr (Pretty) {
            char* p = out_.room(2 + static_cast<std::size_t>(depth_) * 2);
            if (!first_) *p++ = ',';
            *p++ = '\n';
            p = indent(p, depth_);
            out_.commit(p);
        } else {
            if (!first_) out_.put(',');
        }
        first_ = false;
    }

    // Member key of a literal name (no escaping needed).
    void key(std::string_view k) {
        element();
        char* p = out_.room(k.size() + 4);
        *p++ = '"';
        std::memcpy(p, k.data(), k.size());
        p += k.size();
        *p++ = '"';
        *p++ = ':';
        if constexpr (Pretty) *p++ = ' ';
        out_.commit(p);
    }

    // Member key from data (escaped).
    void data_key(std::string_view k) {
        element();
        value(k);
        if constexpr (Pretty) out_.put(std::string_view(": "));
        else out_.put(':');
    }

    void value(double v) { out_.commit(write_json_number(out_.room(kJsonNumberMax), v)); }
    void value(std::uint64_t v) {
        char* p = out_.room(24);
        out_.commit(std::to_chars(p, p + 24, v).ptr);
    }
    void value(bool v) { out_.put(v ? std::string_view("true") : std::string_view("false")); }
    void value(std::string_view s) {
        if (s.size() <= kSlice) {
            char* p = out_.room(s.size() * 6 + 2);
            *p++ = '"';
            p = write_string_body(p, s);
            *p++ = '"';
            out_.commit(p);
            return;
        }
        out_.put('"');
        text_body(s);
        out_.put('"');
    }
    void value(const std::string& s) { value(std::string_view(s)); }
    void value(const InlineText& s) { value(s.view()); }
    void null() { out_.put(std::string_view("null")); }

    template <typename T>
    void member(std::string_view k, const T& v) {
        key(k);
        value(v);
    }

    // Array of plain values (numbers, counts, texts).
    template <typename T>
    void array(const std::vector<T>& items) {
        open('[');
        for (const T& item : items) {
            element();
            value(item);
        }
        close(']');
    }
    template <typename T>
    void array_member(std::string_view k, const std::vector<T>& items) {
        key(k);
        array(items);
    }

private:
    // Input bytes whose escaped form always fits one request to the staging area.
    static constexpr std::size_t kSlice = (Buffer::kMaxRoom - 2) / 6;

    // Escaped text in slices that fit the staging area.
    void text_body(std::string_view s) {
        while (s.size() > kSlice) {
            out_.commit(write_string_body(out_.room(kSlice * 6), s.substr(0, kSlice)));
            s.remove_prefix(kSlice);
        }
        out_.commit(write_string_body(out_.room(s.size() * 6), s));
    }

    void newline() {
        char* p = out_.room(1 + static_cast<std::size_t>(depth_) * 2);
        *p++ = '\n';
        out_.commit(indent(p, depth_));
    }
    static char* indent(char* p, int depth) {
        std::size_t n = static_cast<std::size_t>(depth) * 2;
        while (n > 0) {
            const std::size_t k = n < sizeof kSpaces - 1 ? n : sizeof kSpaces - 1;
            std::memcpy(p, kSpaces, k);
            p += k;
            n -= k;
        }
        return p;
    }

    Buffer out_;
    int depth_ = 0;
    bool first_ = true;
};

// ------------------------------------------------------------------ record layouts

template <bool P>
void write(Writer<P>& w, const FileInfo& f) {
    w.open('{');
    w.member("filename", f.filename);
    w.member("marker_name", f.marker_name);
    w.member("receiver_type", f.receiver_type);
    w.member("antenna_type", f.antenna_type);
    w.member("start_time", f.start_time);
    w.member("end_time", f.end_time);
    w.member("duration_hours", f.duration_hours);
    w.member("interval", f.interval);
    w.member("position_lat", f.position_lat);
    w.member("position_lon", f.position_lon);
    w.member("position_height", f.position_height);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const QualityBlock& q) {
    w.open('{');
    w.member("overall", q.overall);
    w.member("cn0_score", q.cn0_score);
    w.member("coverage_score", q.coverage_score);
    w.member("consistency_score", q.consistency_score);
    w.member("grade", q.grade);
    w.member("interpretation", q.interpretation);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const Summary& s) {
    w.open('{');
    w.member("total_observations", s.total_observations);
    w.member("total_satellites", s.total_satellites);
    w.member("total_epochs", s.total_epochs);
    w.array_member("systems_observed", s.systems_observed);
    w.member("mean_cn0", s.mean_cn0);
    w.member("min_cn0", s.min_cn0);
    w.member("max_cn0", s.max_cn0);
    w.member("anomaly_count", s.anomaly_count);
    w.member("critical_count", s.critical_count);
    w.member("high_count", s.high_count);
    w.member("low_count", s.low_count);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const ConstellationStats& c) {
    w.open('{');
    w.member("system", c.system);
    w.member("satellite_count", c.satellite_count);
    w.member("observation_count", c.observation_count);
    w.member("mean_cn0", c.mean_cn0);
    w.member("min_cn0", c.min_cn0);
    w.member("max_cn0", c.max_cn0);
    w.member("std_cn0", c.std_cn0);
    w.member("satellites_expected", c.satellites_expected);
    w.member("availability_ratio", c.availability_ratio);
    w.member("cycle_slips", c.cycle_slips);
    w.member("data_gaps", c.data_gaps);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const SatelliteStats& s) {
    w.open('{');
    w.member("satellite", s.satellite);
    w.member("system", s.system);
    w.member("observation_count", s.observation_count);
    w.member("mean_cn0", s.mean_cn0);
    w.member("min_cn0", s.min_cn0);
    w.member("max_cn0", s.max_cn0);
    w.member("std_cn0", s.std_cn0);
    w.member("mean_elevation", s.mean_elevation);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const CN0Point& c) {
    w.open('{');
    w.member("timestamp", c.timestamp);
    w.member("cn0", c.cn0);
    w.member("elevation", c.elevation);
    w.member("azimuth", c.azimuth);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const SatelliteTimeseries& s) {
    w.open('{');
    w.member("satellite", s.satellite);
    w.member("system", s.system);
    w.member("signal", s.signal);
    w.key("cn0_series");
    write_list(w, s.cn0_series);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const SkyplotPoint& s) {
    w.open('{');
    w.member("azimuth", s.azimuth);
    w.member("elevation", s.elevation);
    w.member("cn0", s.cn0);
    w.member("satellite", s.satellite);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const SkyplotTrace& t) {
    w.open('{');
    w.member("satellite", t.satellite);
    w.member("system", t.system);
    w.key("points");
    write_list(w, t.points);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const HeatmapPoint& h) {
    w.open('{');
    w.member("azimuth_bin", h.azimuth_bin);
    w.member("elevation_bin", h.elevation_bin);
    w.member("mean_cn0", h.mean_cn0);
    w.member("count", h.count);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const Anomaly& a) {
    w.open('{');
    w.member("timestamp", a.timestamp);
    w.member("severity", a.severity);
    w.member("event_type", a.event_type);
    w.member("description", a.description);
    w.member("cn0_drop", a.cn0_drop);
    w.array_member("affected_satellites", a.affected_satellites);
    w.array_member("affected_systems", a.affected_systems);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const VisibilitySystemStats& s) {
    w.open('{');
    w.member("system", s.system);
    w.member("predicted_satellites", s.predicted_satellites);
    w.member("observed_satellites", s.observed_satellites);
    w.member("confirmation_rate", s.confirmation_rate);
    w.array_member("missing_satellites", s.missing_satellites);
    w.array_member("unexpected_satellites", s.unexpected_satellites);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const VisibilityAnomaly& a) {
    w.open('{');
    w.member("start_time", a.start_time);
    w.member("end_time", a.end_time);
    w.member("duration_seconds", a.duration_seconds);
    w.member("anomaly_type", a.anomaly_type);
    w.member("severity", a.severity);
    w.array_member("affected_satellites", a.affected_satellites);
    w.array_member("affected_systems", a.affected_systems);
    w.member("description", a.description);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const VisibilityResult& v) {
    w.open('{');
    w.member("has_prediction", v.has_prediction);
    w.member("prediction_source", v.prediction_source);
    w.member("confirmation_rate", v.confirmation_rate);
    w.member("mean_predicted", v.mean_predicted);
    w.member("mean_observed", v.mean_observed);
    w.member("mean_missing", v.mean_missing);
    w.member("mean_unexpected", v.mean_unexpected);
    w.array_member("frequently_missing", v.frequently_missing);
    w.array_member("frequently_unexpected", v.frequently_unexpected);
    w.key("by_system");
    write_map(w, v.by_system);
    w.key("anomalies");
    write_list(w, v.anomalies);
    w.close('}');
}

// Lists of records and maps of records (in key order). Declared after the record writers they
// call; the record writers above reach them through argument-dependent lookup at instantiation.
template <bool P, typename T>
void write_list(Writer<P>& w, const std::vector<T>& items) {
    w.open('[');
    for (const T& item : items) {
        w.element();
        write(w, item);
    }
    w.close(']');
}

template <bool P, typename T>
void write_map(Writer<P>& w, const std::map<std::string, T>& items) {
    w.open('{');
    for (const auto& [k, item] : items) {
        w.data_key(k);
        write(w, item);
    }
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const std::vector<CN0Point>& series) {
    write_list(w, series);
}

template <bool P>
void write(Writer<P>& w, const Timeseries& t) {
    w.open('{');
    w.array_member("timestamps", t.timestamps);
    w.array_member("mean_cn0", t.mean_cn0);
    w.array_member("satellite_count", t.satellite_count);
    w.key("satellite_timeseries");
    write_map(w, t.satellite_timeseries);
    w.key("constellation_timeseries");
    write_map(w, t.constellation_timeseries);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const Skyplot& s) {
    w.open('{');
    w.key("traces");
    write_list(w, s.traces);
    w.key("heatmap_points");
    write_list(w, s.heatmap_points);
    w.member("coverage_percent", s.coverage_percent);
    w.close('}');
}

template <bool P>
void write(Writer<P>& w, const Heatmap& h) {
    w.open('{');
    w.array_member("azimuth_bins", h.azimuth_bins);
    w.array_member("elevation_bins", h.elevation_bins);
    w.key("cn0_matrix");
    w.open('[');
    for (const auto& row : h.cn0_matrix) {
        w.element();
        w.array(row);
    }
    w.close(']');
    w.key("count_matrix");
    w.open('[');
    for (const auto& row : h.count_matrix) {
        w.element();
        w.array(row);
    }
    w.close(']');
    w.close('}');
}

// One top-level block of the result by its key; false for a key that names none.
template <bool P>
bool write_block(Writer<P>& w, const AnalysisResult& r, std::string_view key) {
    if (key == "file_info") write(w, r.file_info);
    else if (key == "quality_score") write(w, r.quality_score);
    else if (key == "summary") write(w, r.summary);
    else if (key == "constellation_stats") write_map(w, r.constellation_stats);
    else if (key == "satellite_stats") write_map(w, r.satellite_stats);
    else if (key == "timeseries") write(w, r.timeseries);
    else if (key == "skyplot") write(w, r.skyplot);
    else if (key == "heatmap") write(w, r.heatmap);
    else if (key == "anomalies") write_list(w, r.anomalies);
    else if (key == "visibility") {
        if (r.visibility) write(w, *r.visibility);
        else w.null();
    } else return false;
    return true;
}

template <bool P>
void write(Writer<P>& w, const AnalysisResult& r) {
    w.open('{');
    for (std::string_view key : kJsonBlocks) {
        w.key(key);
        write_block(w, r, key);
    }
    w.close('}');
}

// A size estimate of the text from the container sizes (never the values), so that a large
// result is usually written into one allocation. Per-element figures are typical sizes of the
// records with full-precision floats and 24-character timestamps.
std::size_t estimate_size(const AnalysisResult& r, bool pretty) {
    std::size_t points = 0;  // CN0Point and SkyplotPoint records
    std::size_t values = 0;  // plain values in arrays and small records' members
    const auto& t = r.timeseries;
    values += t.timestamps.size() * 3;
    for (const auto& [k, s] : t.satellite_timeseries) points += s.cn0_series.size();
    for (const auto& [k, s] : t.constellation_timeseries) points += s.size();
    for (const auto& tr : r.skyplot.traces) points += tr.points.size();
    values += r.skyplot.heatmap_points.size() * 4;
    for (const auto& row : r.heatmap.cn0_matrix) values += row.size();
    for (const auto& row : r.heatmap.count_matrix) values += row.size();
    values += (r.constellation_stats.size() + r.satellite_stats.size() + r.anomalies.size()) * 10;
    return 4096 + points * (pretty ? 190 : 105) + values * (pretty ? 32 : 20);
}

template <bool P>
std::string render(const AnalysisResult& r) {
    Writer<P> w(estimate_size(r, P));
    write(w, r);
    return std::move(w).finish();
}

}  // namespace

std::string to_json(const AnalysisResult& result) { return render<false>(result); }
std::string to_json_pretty(const AnalysisResult& result) { return render<true>(result); }

std::optional<std::string> to_json_block(const AnalysisResult& result, std::string_view key) {
    // The blocks other than the sky views and time series are small; those two are sized by
    // the whole-result estimate.
    const bool bulky = key == "skyplot" || key == "timeseries" || key == "satellite_stats";
    Writer<false> w(bulky ? estimate_size(result, false) : 4096);
    if (!write_block(w, result, key)) return std::nullopt;
    return std::move(w).finish();
}

}  // namespace tessora
