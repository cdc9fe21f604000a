// Header records of a RINEX 3.05 observation file: the values in columns 1-60, the label from
// column 61.
#include "rinex/obs_header_writer.hpp"

#include <charconv>
#include <cmath>

#include "common/numbers.hpp"
#include "common/text.hpp"

namespace tessora {

namespace {

// `s` cut to at most `width` bytes on a character boundary, padded with blanks to `width`.
std::string fit(std::string_view s, std::size_t width) {
    std::string out(column(s, 0, width));
    out.resize(width, ' ');
    return out;
}

void add_line(std::string& out, std::string_view content, std::string_view label) {
    out += fit(content, 60);
    out += label;
    out += '\n';
}

// A number right-aligned in `width` columns with `decimals` decimals, as the header's format
// has it, a blank before it at least (the reader splits these records on blanks). When those
// decimals would not read back as the same value: its shortest round-trip digits if they fit,
// else the rounded value. Empty when nothing fits.
std::string number_field(double v, int decimals, std::size_t width) {
    std::string text;
    append_fixed(text, v, decimals);
    if (std::isfinite(v) && (parse_float(text) != v || text.size() >= width)) {
        char buf[64];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        if (static_cast<std::size_t>(r.ptr - buf) < width) text.assign(buf, r.ptr);
    }
    if (text.size() >= width) return {};
    text.insert(0, width - text.size(), ' ');
    return text;
}

std::string right(std::uint64_t v, std::size_t width) {
    std::string s = std::to_string(v);
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

std::string right_int(std::int64_t v, std::size_t width) {
    std::string s = std::to_string(v);
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

void add_type_lists(std::string& out, const WritePlan& plan) {
    for (const SystemColumns& s : plan.systems) {
        if (s.names.empty()) continue;
        for (std::size_t k = 0; k < s.names.size(); k += 13) {
            std::string line = k == 0 ? std::string(1, s.system) + "  " + right(s.names.size(), 3) : std::string(6, ' ');
            for (std::size_t j = k; j < s.names.size() && j < k + 13; ++j) line += ' ' + s.names[j];
            add_line(out, line, "SYS / # / OBS TYPES");
        }
    }
}

// F13.7, as the epoch lines round their seconds.
std::string seconds_field(double second) {
    std::string s;
    append_fixed(s, second, 7);
    if (s.size() < 13) s.insert(0, 13 - s.size(), ' ');
    return s;
}

void add_time_of_first_obs(std::string& out, const RinexObsData& rec) {
    EpochTime t;
    if (!rec.epochs.empty()) t = rec.epochs.front().time;
    std::string line = right_int(t.year, 6) + right(t.month, 6) + right(t.day, 6) + right(t.hour, 6) +
                       right(t.minute, 6) + seconds_field(t.second) + "     " +
                       std::string(column(rec.time_system, 0, 3));
    add_line(out, line, "TIME OF FIRST OBS");
}

// GLONASS SLOT / FRQ #: the count, then "Rnn ch" entries, eight a line, continued after four
// blanks.
void add_glonass_slots(std::string& out, const RinexObsData& rec) {
    if (rec.glonass_slots.empty()) return;
    std::string line = right(rec.glonass_slots.size(), 3) + ' ';
    for (const auto& [slot, channel] : rec.glonass_slots) {
        std::string entry = "R" + (slot.size() < 2 ? std::string(2 - slot.size(), '0') : std::string()) + slot + ' ' +
                            right_int(channel, 2) + ' ';
        if (line.size() + entry.size() > 60) {
            add_line(out, line, "GLONASS SLOT / FRQ #");
            line = "    ";
        }
        line += entry;
    }
    add_line(out, line, "GLONASS SLOT / FRQ #");
}

}  // namespace

std::string rinex_header_text(const RinexObsData& rec, const WritePlan& plan, const RinexWriteOptions& options) {
    std::string out;
    const char system = plan.systems.size() == 1 ? plan.systems.front().system : 'M';
    add_line(out, std::string("     3.05           OBSERVATION DATA    ") + system, "RINEX VERSION / TYPE");
    add_line(out, fit(options.program, 20) + fit(options.run_by, 20) + fit(options.date, 20), "PGM / RUN BY / DATE");
    add_line(out, rec.marker_name, "MARKER NAME");
    add_line(out, std::string(20, ' ') + fit(rec.receiver_type, 20) + fit(rec.receiver_firmware, 20),
             "REC # / TYPE / VERS");
    add_line(out, std::string(20, ' ') + fit(rec.antenna_type, 20), "ANT # / TYPE");
    if (rec.approx_position) {
        std::string line;
        for (double c : *rec.approx_position) line += number_field(c, 4, 14);
        if (line.size() == 42) add_line(out, line, "APPROX POSITION XYZ");  // else RINEX cannot hold it
    }
    add_type_lists(out, plan);
    if (std::isfinite(rec.interval) && rec.interval != 0.0)
        if (std::string f = number_field(rec.interval, 3, 10); !f.empty()) add_line(out, f, "INTERVAL");
    add_time_of_first_obs(out, rec);
    add_glonass_slots(out, rec);
    add_line(out, "", "END OF HEADER");
    return out;
}

}  // namespace tessora
