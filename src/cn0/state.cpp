#include "cn0/state.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/text.hpp"

namespace tessora {

namespace {

constexpr char kMagic[4] = {'T', 'C', 'N', '0'};
// 2: observation records carry their time system and file name, CN0 points their signal.
// 3: interference reports carry their false-alarm rate and noise models.
// 4: observation records carry their receiver's firmware version.
// 5: template signals carry their satellites' offsets.
constexpr std::uint8_t kFormat = 5;
enum Kind : std::uint8_t { kObservations = 1, kNavigation, kConfig, kResult, kQuality, kInterference, kEvent, kTemplate };

const char* kind_name(Kind k) {
    switch (k) {
        case kObservations: return "RinexObsData";
        case kNavigation: return "NavigationData";
        case kConfig: return "AnalysisConfig";
        case kResult: return "AnalysisResult";
        case kQuality: return "QualityScore";
        case kInterference: return "InterferenceReport";
        case kEvent: return "InterferenceEvent";
        case kTemplate: return "CN0Template";
    }
    return "";
}

template <typename T>
constexpr bool kPlain = std::is_arithmetic_v<T>;

// ------------------------------------------------------------------------------ writing
struct Writer {
    static constexpr bool kReading = false;
    std::uint8_t format = kFormat;
    std::string out;

    void raw(const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); }
    template <typename T>
    void num(T v) {
        static_assert(kPlain<T>);
        raw(&v, sizeof v);  // the module runs on little-endian machines only (x86-64)
    }
    void size(std::size_t n) { num<std::uint64_t>(n); }

    void operator()(bool& v) { num<std::uint8_t>(v ? 1 : 0); }
    template <typename T>
    std::enable_if_t<kPlain<T> && !std::is_same_v<T, bool>> operator()(T& v) {
        num(v);
    }
    void operator()(std::string& s) {
        size(s.size());
        raw(s.data(), s.size());
    }
    void operator()(InlineText& s) {  // the same bytes as a std::string
        const std::string_view v = s.view();
        size(v.size());
        raw(v.data(), v.size());
    }
    template <typename T, typename Alloc>
    void operator()(std::vector<T, Alloc>& v) {
        size(v.size());
        if constexpr (kPlain<T> && !std::is_same_v<T, bool>)
            raw(v.data(), v.size() * sizeof(T));
        else
            for (auto& x : v) (*this)(x);
    }
    template <typename T, std::size_t N>
    void operator()(std::array<T, N>& v) {
        for (auto& x : v) (*this)(x);
    }
    template <typename T>
    void operator()(std::optional<T>& o) {
        bool has = o.has_value();
        (*this)(has);
        if (has) (*this)(*o);
    }
    template <typename A, typename B>
    void operator()(std::pair<A, B>& p) {
        (*this)(p.first);
        (*this)(p.second);
    }
    template <typename V>
    void operator()(std::map<std::string, V>& m) {
        size(m.size());
        for (auto& [k, v] : m) {
            std::string key = k;
            (*this)(key);
            (*this)(v);
        }
    }
    // Hash maps are written sorted by key, so that equal records give equal states.
    template <typename V>
    void operator()(TextMap<V>& m) {
        std::vector<std::pair<std::string, V*>> items;
        for (auto& [k, v] : m) items.emplace_back(k, &v);
        std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        size(items.size());
        for (auto& [k, v] : items) {
            (*this)(k);
            (*this)(*v);
        }
    }
    template <typename T>
    std::enable_if_t<std::is_class_v<T>> operator()(T& record);  // the records' visits, below
};

// ------------------------------------------------------------------------------ reading
struct Reader {
    static constexpr bool kReading = true;
    std::uint8_t format = kFormat;
    const char* p;
    const char* e;
    std::string error;

    bool failed() const { return !error.empty(); }
    void fail(const char* why) {
        if (error.empty()) error = why;
        p = e;
    }
    std::size_t left() const { return static_cast<std::size_t>(e - p); }
    bool need(std::uint64_t n) {
        if (failed()) return false;
        if (n > left()) {
            fail("it is cut short");
            return false;
        }
        return true;
    }
    template <typename T>
    void num(T& v) {
        if (!need(sizeof v)) {
            v = T{};
            return;
        }
        std::memcpy(&v, p, sizeof v);
        p += sizeof v;
    }
    // A count of items that take at least `item` bytes each.
    std::size_t size(std::size_t item) {
        std::uint64_t n = 0;
        num(n);
        if (!failed() && n > left() / std::max<std::size_t>(item, 1)) fail("a length exceeds the state");
        return failed() ? 0 : static_cast<std::size_t>(n);
    }

    void operator()(bool& v) {
        std::uint8_t b = 0;
        num(b);
        if (b > 1) fail("a flag is neither 0 nor 1");
        v = b == 1;
    }
    template <typename T>
    std::enable_if_t<kPlain<T> && !std::is_same_v<T, bool>> operator()(T& v) {
        num(v);
    }
    void operator()(std::string& s) {
        const std::size_t n = size(1);
        if (!need(n)) return;
        s.assign(p, n);
        p += n;
        if (!is_valid_utf8(s)) fail("a text is not valid UTF-8");
    }
    void operator()(InlineText& s) {
        const std::size_t n = size(1);
        if (!need(n)) return;
        const std::string_view v(p, n);
        p += n;
        if (!is_valid_utf8(v)) {
            fail("a text is not valid UTF-8");
            return;
        }
        s = v;
    }
    template <typename T, typename Alloc>
    void operator()(std::vector<T, Alloc>& v) {
        if constexpr (kPlain<T> && !std::is_same_v<T, bool>) {
            const std::size_t n = size(sizeof(T));
            v.resize(n);
            if (n) std::memcpy(v.data(), p, n * sizeof(T));
            p += n * sizeof(T);
        } else {
            const std::size_t n = size(1);
            v.resize(n);
            for (auto& x : v) {
                if (failed()) return;
                (*this)(x);
            }
        }
    }
    template <typename T, std::size_t N>
    void operator()(std::array<T, N>& v) {
        for (auto& x : v) (*this)(x);
    }
    template <typename T>
    void operator()(std::optional<T>& o) {
        bool has = false;
        (*this)(has);
        o.reset();
        if (has && !failed()) (*this)(o.emplace());
    }
    template <typename A, typename B>
    void operator()(std::pair<A, B>& x) {
        (*this)(x.first);
        (*this)(x.second);
    }
    template <typename Map>
    void read_map(Map& m) {
        const std::size_t n = size(9);
        m.clear();
        std::string last;
        for (std::size_t i = 0; i < n && !failed(); ++i) {
            std::string key;
            (*this)(key);
            // Keys are written in ascending order, each once: one record has one state.
            if (i > 0 && !(last < key)) fail("map keys out of order");
            typename Map::mapped_type value{};
            (*this)(value);
            if (failed()) return;
            last = key;
            m.emplace(std::move(key), std::move(value));
        }
    }
    template <typename V>
    void operator()(std::map<std::string, V>& m) {
        read_map(m);
    }
    template <typename V>
    void operator()(TextMap<V>& m) {
        read_map(m);
    }
    template <typename T>
    std::enable_if_t<std::is_class_v<T>> operator()(T& record);
};

// ------------------------------------------------------------------------------ the records
template <typename A, typename... T>
void fields(A& a, T&... t) {
    (a(t), ...);
}

template <typename A> void visit(A& a, EpochTime& t) { fields(a, t.year, t.month, t.day, t.hour, t.minute, t.second); }
template <typename A> void visit(A& a, Epoch& t) { fields(a, t.time, t.flag, t.sat_begin, t.sat_count); }
template <typename A> void visit(A& a, SatelliteEntry& t) { fields(a, t.sat, t.obs_begin, t.obs_count); }
template <typename A> void visit(A& a, ObsTypeList& t) { fields(a, t.system, t.codes); }
template <typename A> void visit(A& a, RinexObsData& r) {
    fields(a, r.version, r.marker_name, r.receiver_type, r.antenna_type, r.approx_position, r.interval, r.obs_types,
           r.glonass_slots, r.epochs, r.code_names, r.satellite_names, r.sat_entries, r.obs_values, r.obs_codes,
           r.obs_indicators);
    // Format 2 on: the time system and the file name (format-1 states keep the defaults).
    if (a.format >= 2)
        fields(a, r.time_system, r.file_name);
    else
        r.time_system = "GPS";
    if (a.format >= 4) fields(a, r.receiver_firmware);
}
// The values derived from a record at read time are derived again (KeplerEphemeris::prepare,
// the GLONASS epoch's Julian date): same bits, fewer bytes.
template <typename A> void visit(A& a, KeplerEphemeris& k) {
    fields(a, k.epoch, k.af0, k.af1, k.af2, k.iode, k.crs, k.delta_n, k.m0, k.cuc, k.e, k.cus, k.sqrt_a, k.toe, k.cic,
           k.omega0, k.cis, k.i0, k.crc, k.omega, k.omega_dot, k.idot, k.prn, k.week, k.system);
}
template <typename A> void visit(A& a, GlonassEphemeris& g) {
    fields(a, g.epoch, g.clock_bias, g.relative_frequency_bias, g.message_frame_time, g.x, g.vx, g.ax, g.y, g.vy, g.ay,
           g.z, g.vz, g.az, g.slot, g.frequency_channel);
}
template <typename A> void visit(A& a, NavigationData& n) {
    fields(a, n.gps, n.galileo, n.beidou, n.glonass, n.glonass_channels);
}
template <typename A> void visit(A& a, AnalysisConfig& c) {
    fields(a, c.min_elevation, c.min_cn0, c.max_cn0, c.time_bin_seconds, c.systems, c.anomaly_threshold_low,
           c.anomaly_threshold_high, c.anomaly_threshold_critical, c.detect_anomalies, c.anomaly_sensitivity,
           c.interference_threshold_db, c.verbose, c.nav_file);
}
template <typename A> void visit(A& a, FileInfo& f) {
    fields(a, f.filename, f.marker_name, f.receiver_type, f.antenna_type, f.start_time, f.end_time, f.duration_hours,
           f.interval, f.position_lat, f.position_lon, f.position_height);
}
template <typename A> void visit(A& a, QualityBlock& q) {
    fields(a, q.overall, q.cn0_score, q.coverage_score, q.consistency_score, q.grade, q.interpretation);
}
template <typename A> void visit(A& a, Summary& s) {
    fields(a, s.total_observations, s.total_satellites, s.total_epochs, s.systems_observed, s.mean_cn0, s.min_cn0,
           s.max_cn0, s.anomaly_count, s.critical_count, s.high_count, s.low_count);
}
template <typename A> void visit(A& a, ConstellationStats& c) {
    fields(a, c.system, c.satellite_count, c.observation_count, c.mean_cn0, c.min_cn0, c.max_cn0, c.std_cn0,
           c.satellites_expected, c.availability_ratio, c.cycle_slips, c.data_gaps);
}
template <typename A> void visit(A& a, SatelliteStats& s) {
    fields(a, s.satellite, s.system, s.observation_count, s.mean_cn0, s.min_cn0, s.max_cn0, s.std_cn0,
           s.mean_elevation);
}
template <typename A> void visit(A& a, CN0Point& p) {
    fields(a, p.timestamp, p.cn0, p.elevation, p.azimuth);
    if (a.format >= 2) a(p.signal);  // format 2 on: each point's signal
}
template <typename A> void visit(A& a, SatelliteTimeseries& t) {
    fields(a, t.satellite, t.system, t.signal, t.cn0_series);
    if (a.format >= 2)
        a(t.signals);
    else
        t.signals = {t.signal};  // format-1 states name one signal per satellite
}
template <typename A> void visit(A& a, Timeseries& t) {
    fields(a, t.timestamps, t.mean_cn0, t.satellite_count, t.satellite_timeseries, t.constellation_timeseries);
}
template <typename A> void visit(A& a, SkyplotPoint& p) { fields(a, p.azimuth, p.elevation, p.cn0, p.satellite); }
template <typename A> void visit(A& a, SkyplotTrace& t) { fields(a, t.satellite, t.system, t.points); }
template <typename A> void visit(A& a, HeatmapPoint& h) { fields(a, h.azimuth_bin, h.elevation_bin, h.mean_cn0, h.count); }
template <typename A> void visit(A& a, Skyplot& s) { fields(a, s.traces, s.heatmap_points, s.coverage_percent); }
template <typename A> void visit(A& a, Heatmap& h) { fields(a, h.azimuth_bins, h.elevation_bins, h.cn0_matrix, h.count_matrix); }
template <typename A> void visit(A& a, Anomaly& x) {
    fields(a, x.timestamp, x.severity, x.event_type, x.description, x.cn0_drop, x.affected_satellites,
           x.affected_systems);
}
template <typename A> void visit(A& a, VisibilitySystemStats& s) {
    fields(a, s.system, s.predicted_satellites, s.observed_satellites, s.confirmation_rate, s.missing_satellites,
           s.unexpected_satellites);
}
template <typename A> void visit(A& a, VisibilityAnomaly& x) {
    fields(a, x.start_time, x.end_time, x.duration_seconds, x.anomaly_type, x.severity, x.affected_satellites,
           x.affected_systems, x.description);
}
template <typename A> void visit(A& a, VisibilityResult& v) {
    fields(a, v.has_prediction, v.prediction_source, v.confirmation_rate, v.mean_predicted, v.mean_observed,
           v.mean_missing, v.mean_unexpected, v.frequently_missing, v.frequently_unexpected, v.by_system, v.anomalies);
}
template <typename A> void visit(A& a, AnalysisResult& r) {
    fields(a, r.file_info, r.quality_score, r.summary, r.constellation_stats, r.satellite_stats, r.timeseries,
           r.skyplot, r.heatmap, r.anomalies, r.visibility);
}
template <typename A> void visit(A& a, QualityScoreValues& q) {
    fields(a, q.overall, q.cn0_quality, q.availability, q.continuity, q.stability, q.diversity, q.rating,
           q.post_processing_suitable);
}

template <typename A> void visit(A& a, SatelliteOffset& o) { fields(a, o.satellite, o.db, o.samples); }
template <typename A> void visit(A& a, SignalTemplate& t) {
    fields(a, t.system, t.code, t.band, t.cn0, t.counts, t.floor, t.low_elevation);
    if (a.format >= 5) fields(a, t.offsets);
}
template <typename A> void visit(A& a, CN0Template& t) { fields(a, t.station, t.start_time, t.end_time, t.signals); }
template <typename A> void visit(A& a, BandDegradation& b) { fields(a, b.band, b.value); }
template <typename A> void visit(A& a, InterferenceEvent& e) {
    fields(a, e.start, e.end, e.peak_time, e.duration, e.peak_degradation_db, e.degradation_db, e.bands, e.systems,
           e.satellites_affected, e.satellites_lost, e.kind, e.statistic);
}
template <typename A> void visit(A& a, BandSeries& s) {
    fields(a, s.band, s.degradation, s.tracked, s.lost, s.noise_db, s.trigger_sigma, s.threshold_db);
    if (a.format >= 3) fields(a, s.statistic, s.tail_level, s.tail_decay, s.tail_rate);
}
template <typename A> void visit(A& a, BandCloud& c) { fields(a, c.band, c.elevation, c.cn0); }
template <typename A> void visit(A& a, InterferenceReport& r) {
    fields(a, r.filename, r.station, r.latitude, r.longitude, r.mode, r.reason, r.epochs, r.signals, r.trigger_sigma,
           r.threshold_db, r.timestamps, r.series, r.events, r.cn0_template, r.clouds);
    if (a.format >= 3) fields(a, r.false_alarms_per_day, r.spoofing_judged);
}

template <typename T>
std::enable_if_t<std::is_class_v<T>> Writer::operator()(T& record) {
    visit(*this, record);
}
template <typename T>
std::enable_if_t<std::is_class_v<T>> Reader::operator()(T& record) {
    visit(*this, record);
}

// ------------------------------------------------------------------------------ checks
// What the readers guarantee and the consumers rely on, for a record that came from elsewhere.
const char* check(const RinexObsData& r) {
    const auto n_codes = r.code_names.size();
    for (const auto& t : r.obs_types) {
        if (std::string_view("GREJCIS").find(t.system) == std::string_view::npos) return "an unknown system letter";
        for (auto c : t.codes)
            if (c >= n_codes) return "an observation code out of range";
    }
    if (r.obs_codes.size() != r.obs_values.size() || r.obs_indicators.size() != r.obs_values.size())
        return "observation arrays of different lengths";
    for (auto c : r.obs_codes)
        if (c >= n_codes) return "an observation code out of range";
    for (auto i : r.obs_indicators)
        if (((i >> 4) > 9 && (i >> 4) != 0xF) || ((i & 0xF) > 9 && (i & 0xF) != 0xF)) return "an invalid indicator";
    for (const auto& e : r.epochs)
        if (std::uint64_t{e.sat_begin} + e.sat_count > r.sat_entries.size()) return "an epoch out of range";
    for (const auto& s : r.sat_entries)
        if (s.sat >= r.satellite_names.size() || std::uint64_t{s.obs_begin} + s.obs_count > r.obs_values.size())
            return "a satellite entry out of range";
    return nullptr;
}
const char* check(NavigationData& n) {
    for (auto* group : {&n.gps, &n.galileo, &n.beidou})
        for (auto& [k, list] : *group)
            for (auto& e : list) e.prepare();
    for (auto& [k, list] : n.glonass)
        for (auto& g : list) g.epoch_jd = julian_date(g.epoch);
    return nullptr;
}
// A template's curves have one value per elevation bin (the evaluation indexes them).
const char* check(const CN0Template& t) {
    for (const auto& s : t.signals)
        if (s.cn0.size() != kTemplateBins || s.counts.size() != kTemplateBins) return "a template curve of the wrong length";
    return nullptr;
}
const char* check(const InterferenceReport& r) {
    for (const auto& s : r.series)
        if (s.degradation.size() != r.timestamps.size() || s.tracked.size() != r.timestamps.size() ||
            s.lost.size() != r.timestamps.size() || (!s.statistic.empty() && s.statistic.size() != r.timestamps.size()))
            return "a series of the wrong length";
    for (const auto& c : r.clouds)
        if (c.elevation.size() != c.cn0.size()) return "a cloud of the wrong length";
    return check(r.cn0_template);
}
template <typename T>
const char* check(const T&) {
    return nullptr;
}

template <typename T>
std::string encode(Kind kind, const T& record) {
    Writer w;
    w.raw(kMagic, 4);
    w.num<std::uint8_t>(kind);
    w.num<std::uint8_t>(kFormat);
    visit(w, const_cast<T&>(record));  // the writer only reads
    const auto crc = static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(w.out.data()), static_cast<uInt>(w.out.size())));
    w.num(crc);
    return std::move(w.out);
}

template <typename T>
Expected<T> decode(Kind kind, std::string_view s) {
    const auto failure = [&](std::string_view why) {
        return Expected<T>::failure("invalid " + std::string(kind_name(kind)) + " state: " + std::string(why));
    };
    if (s.size() < 10 || std::memcmp(s.data(), kMagic, 4) != 0) return failure("not a tessora_cn0 state");
    if (static_cast<std::uint8_t>(s[4]) != kind) return failure("the state of another kind of object");
    const auto format = static_cast<std::uint8_t>(s[5]);
    if (format < 1 || format > kFormat) return failure("an unknown format version");
    std::uint32_t stored;
    std::memcpy(&stored, s.data() + s.size() - 4, 4);
    uLong crc = 0;
    for (std::size_t done = 0, n = s.size() - 4; done < n;) {  // crc32 takes 32-bit lengths
        const std::size_t step = std::min<std::size_t>(n - done, std::size_t{1} << 30);
        crc = crc32(done ? crc : 0L, reinterpret_cast<const Bytef*>(s.data() + done), static_cast<uInt>(step));
        done += step;
    }
    if (static_cast<std::uint32_t>(crc) != stored) return failure("checksum mismatch (a damaged or altered state)");
    T record{};
    Reader r{format, s.data() + 6, s.data() + s.size() - 4, {}};
    visit(r, record);
    if (r.failed()) return failure(r.error);
    if (r.left() != 0) return failure("bytes after the end of the record");
    if (const char* why = check(record)) return failure(why);
    return record;
}

}  // namespace

std::string encode_state(const RinexObsData& r) { return encode(kObservations, r); }
std::string encode_state(const NavigationData& r) { return encode(kNavigation, r); }
std::string encode_state(const AnalysisConfig& r) { return encode(kConfig, r); }
std::string encode_state(const AnalysisResult& r) { return encode(kResult, r); }
std::string encode_state(const QualityScoreValues& r) { return encode(kQuality, r); }
std::string encode_state(const InterferenceReport& r) { return encode(kInterference, r); }
std::string encode_state(const InterferenceEvent& r) { return encode(kEvent, r); }
std::string encode_state(const CN0Template& r) { return encode(kTemplate, r); }

Expected<RinexObsData> decode_observations_state(std::string_view s) { return decode<RinexObsData>(kObservations, s); }
Expected<NavigationData> decode_navigation_state(std::string_view s) { return decode<NavigationData>(kNavigation, s); }
Expected<AnalysisConfig> decode_config_state(std::string_view s) { return decode<AnalysisConfig>(kConfig, s); }
Expected<AnalysisResult> decode_result_state(std::string_view s) { return decode<AnalysisResult>(kResult, s); }
Expected<QualityScoreValues> decode_quality_state(std::string_view s) { return decode<QualityScoreValues>(kQuality, s); }
Expected<InterferenceReport> decode_interference_state(std::string_view s) {
    return decode<InterferenceReport>(kInterference, s);
}
Expected<InterferenceEvent> decode_event_state(std::string_view s) { return decode<InterferenceEvent>(kEvent, s); }
Expected<CN0Template> decode_template_state(std::string_view s) { return decode<CN0Template>(kTemplate, s); }

}  // namespace tessora
