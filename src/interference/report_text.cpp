// JSON and repr texts of the detector's records.
#include <cmath>
#include <cstdio>

#include "common/numbers.hpp"
#include "interference/detect.hpp"

namespace tessora {

namespace {

void append_string(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// Writes one JSON object member by member; values are written by the callers.
class Json {
public:
    explicit Json(std::string& out) : out_(out) {}
    Json& key(std::string_view k) {
        out_ += first_ ? "" : ",";
        first_ = false;
        append_string(out_, k);
        out_ += ':';
        return *this;
    }
    Json& text(std::string_view k, std::string_view v) {
        key(k);
        append_string(out_, v);
        return *this;
    }
    Json& number(std::string_view k, double v) {
        key(k);
        append_json_number(out_, v);
        return *this;
    }
    Json& count(std::string_view k, std::uint64_t v) {
        key(k);
        append_uint(out_, v);
        return *this;
    }
    Json& boolean(std::string_view k, bool v) {
        key(k);
        out_ += v ? "true" : "false";
        return *this;
    }
    Json& optional(std::string_view k, const std::optional<double>& v) {
        if (v) return number(k, *v);
        key(k);
        out_ += "null";
        return *this;
    }
    template <typename Seq, typename F>
    Json& list(std::string_view k, const Seq& seq, F&& item) {
        key(k);
        out_ += '[';
        bool first = true;
        for (const auto& x : seq) {
            if (!first) out_ += ',';
            first = false;
            item(out_, x);
        }
        out_ += ']';
        return *this;
    }
    Json& texts(std::string_view k, const std::vector<std::string>& v) {
        return list(k, v, [](std::string& o, const std::string& s) { append_string(o, s); });
    }
    template <typename T>
    Json& numbers(std::string_view k, const std::vector<T>& v) {
        return list(k, v, [](std::string& o, T x) {
            if constexpr (std::is_floating_point_v<T>) append_json_number(o, x);
            else append_uint(o, x);
        });
    }

private:
    std::string& out_;
    bool first_ = true;
};

template <typename F>
void object(std::string& out, F&& members) {
    out += '{';
    Json j(out);
    members(j);
    out += '}';
}

void append_signal(std::string& out, const SignalTemplate& s) {
    object(out, [&](Json& j) {
        j.text("system", s.system).text("code", s.code).text("band", s.band).numbers("cn0", s.cn0)
            .numbers("counts", s.counts).number("floor", s.floor).number("low_elevation", s.low_elevation)
            .key("offsets");
        // Satellite -> [offset dB, samples]: a rich station's template holds some 600 of them.
        object(out, [&](Json& k) {
            for (const SatelliteOffset& x : s.offsets) {
                k.key(x.satellite);
                out += '[';
                append_json_number(out, x.db);
                out += ',';
                append_uint(out, x.samples);
                out += ']';
            }
        });
    });
}

void append_template(std::string& out, const CN0Template& t) {
    object(out, [&](Json& j) {
        j.text("station", t.station).text("start_time", t.start_time).text("end_time", t.end_time)
            .number("bin_width", kTemplateBinWidth)
            .list("signals", t.signals, [](std::string& o, const SignalTemplate& s) { append_signal(o, s); });
    });
}

void append_event(std::string& out, const InterferenceEvent& e) {
    object(out, [&](Json& j) {
        j.text("kind", e.kind).text("start", e.start).text("end", e.end).text("peak_time", e.peak_time)
            .number("duration", e.duration).number("peak_degradation_db", e.peak_degradation_db);
        j.key("degradation_db");
        object(out, [&](Json& d) {
            for (const BandDegradation& b : e.degradation_db) d.number(b.band, b.value);
        });
        j.texts("bands", e.bands).texts("systems", e.systems).texts("satellites_affected", e.satellites_affected)
            .texts("satellites_lost", e.satellites_lost).number("statistic", e.statistic);
    });
}

void append_series(std::string& out, const BandSeries& s) {
    object(out, [&](Json& j) {
        j.text("band", s.band).number("noise_db", s.noise_db).number("trigger_sigma", s.trigger_sigma)
            .number("threshold_db", s.threshold_db)
            .numbers("degradation", s.degradation).numbers("tracked", s.tracked).numbers("lost", s.lost)
            .numbers("statistic", s.statistic).number("tail_level", s.tail_level).number("tail_decay", s.tail_decay)
            .number("tail_rate", s.tail_rate);
    });
}

// Python's repr of a str for the texts this module writes (quotes and backslashes escaped).
void append_repr(std::string& out, std::string_view s) {
    out += '\'';
    for (char c : s) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    out += '\'';
}

void append_repr_list(std::string& out, const std::vector<std::string>& v) {
    out += '[';
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        append_repr(out, v[i]);
    }
    out += ']';
}

}  // namespace

std::string to_json(const CN0Template& t) {
    std::string out;
    append_template(out, t);
    return out;
}

std::string to_json(const InterferenceReport& r) {
    std::string out;
    object(out, [&](Json& j) {
        j.text("filename", r.filename).text("station", r.station).optional("latitude", r.latitude)
            .optional("longitude", r.longitude).text("mode", r.mode).text("reason", r.reason)
            .count("epochs", r.epochs).count("signals", r.signals).number("trigger_sigma", r.trigger_sigma).optional("threshold_db", r.threshold_db)
            .number("false_alarms_per_day", r.false_alarms_per_day).boolean("spoofing_judged", r.spoofing_judged)
            .list("events", r.events, [](std::string& o, const InterferenceEvent& e) { append_event(o, e); })
            .texts("timestamps", r.timestamps)
            .list("series", r.series, [](std::string& o, const BandSeries& s) { append_series(o, s); });
        j.key("template");
        append_template(out, r.cn0_template);
    });
    return out;
}

std::string report_repr(const InterferenceReport& r) {
    std::string s = "InterferenceReport(station=";
    append_repr(s, r.station);
    s += ", mode=";
    append_repr(s, r.mode);
    s += ", events=";
    append_uint(s, r.events.size());
    std::vector<std::string> bands;
    for (const BandSeries& b : r.series) bands.push_back(b.band);
    s += ", bands=";
    append_repr_list(s, bands);
    if (!r.reason.empty()) {
        s += ", reason=";
        append_repr(s, r.reason);
    }
    s += ')';
    return s;
}

std::string event_repr(const InterferenceEvent& e) {
    std::string s = "InterferenceEvent(kind=";
    append_repr(s, e.kind);
    s += ", start=";
    append_repr(s, e.start);
    s += ", end=";
    append_repr(s, e.end);
    s += ", peak_degradation_db=";
    append_fixed(s, e.peak_degradation_db, 1);
    s += ", bands=";
    append_repr_list(s, e.bands);
    s += ')';
    return s;
}

std::string template_repr(const CN0Template& t) {
    std::string s = "CN0Template(station=";
    append_repr(s, t.station);
    s += ", signals=";
    append_uint(s, t.signals.size());
    s += ", start_time=";
    append_repr(s, t.start_time);
    s += ", end_time=";
    append_repr(s, t.end_time);
    s += ')';
    return s;
}

}  // namespace tessora
