#include "navigation/nav_reader.hpp"

#include <optional>

#include "archive/expand.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace tessora {

namespace {

// Column layout of the first line of a record and of the continuation lines.
struct Layout {
    struct Cut {
        std::size_t a, b;
    };
    Cut sat, year, month, day, hour, minute, second;
    std::size_t clock[3];   // start columns of the three line-1 data fields
    std::size_t fields[4];  // start columns of the four fields of a continuation line
    bool two_digit_year;
};

// RINEX 3/4: "G01 2022 06 08 10 00 00" then fields at 23, 42, 61; continuation fields at 4, 23, 42, 61.
constexpr Layout kLayout3{{1, 3}, {4, 8}, {9, 11}, {12, 14}, {15, 17}, {18, 20}, {21, 23},
                          {23, 42, 61}, {4, 23, 42, 61}, false};
// RINEX 2: " 1 05  4  2  0  0  0.0" then fields at 22, 41, 60; continuation fields at 3, 22, 41, 60.
constexpr Layout kLayout2{{0, 2}, {3, 5}, {6, 8}, {9, 11}, {12, 14}, {15, 17}, {17, 22},
                          {22, 41, 60}, {3, 22, 41, 60}, true};

struct Line1 {
    std::uint32_t number = 0;
    EpochTime epoch;
};

// Satellite number and epoch of a record's first line; nullopt when any of them does not read.
std::optional<Line1> parse_line1(std::string_view line, const Layout& L) {
    auto cut = [&](Layout::Cut c) { return trim(column(line, c.a, c.b)); };
    Line1 r;
    auto number = parse_uint<std::uint32_t>(cut(L.sat));
    auto year = parse_int<std::int32_t>(cut(L.year));
    auto month = parse_uint<std::uint32_t>(cut(L.month));
    auto day = parse_uint<std::uint32_t>(cut(L.day));
    auto hour = parse_uint<std::uint32_t>(cut(L.hour));
    auto minute = parse_uint<std::uint32_t>(cut(L.minute));
    auto second = parse_float(cut(L.second));
    if (!number || !year || !month || !day || !hour || !minute || !second) return std::nullopt;
    r.number = *number;
    std::int32_t y = *year;
    // Two-digit years: 80-99 are 1980-1999, the rest 2000 onwards (the slice is two columns wide,
    // so the sum cannot overflow).
    if (L.two_digit_year) y = y > 79 ? 1900 + y : 2000 + y;
    r.epoch = EpochTime{y, *month, *day, *hour, *minute, *second};
    return r;
}

// Key of a satellite: system letter and the number zero-padded to at least two digits.
std::string satellite_key(char system, std::uint32_t number) {
    std::string key(1, system);
    if (number < 10) key += '0';
    append_uint(key, number);
    return key;
}

bool is_blank(std::string_view line) { return trim(line).empty(); }

class NavReader {
public:
    explicit NavReader(std::string_view text) : lines_(split_lines(text)) {}

    Expected<NavigationData> run() {
        if (!read_header()) return Expected<NavigationData>::failure("No END OF HEADER found");
        const std::size_t n = lines_.size();
        if (version_ >= 4.0)
            read_v4(pos_, n);
        else if (version_ >= 3.0)
            read_v3(pos_, n, 0);
        else
            read_v2(pos_, n);
        return std::move(nav_);
    }

private:
    std::vector<std::string_view> lines_;
    NavigationData nav_;
    double version_ = 3.0;
    char file_type_ = 0;  // column 20 of "RINEX VERSION / TYPE"
    std::size_t pos_ = 0;

    bool read_header() {
        for (; pos_ < lines_.size(); ++pos_) {
            const std::string_view line = lines_[pos_];
            if (line.size() < 60) continue;
            const std::string_view label = trim(column_from(line, 60));
            if (label.find("RINEX VERSION") != std::string_view::npos) {
                if (auto v = parse_float(trim(column(line, 0, 9)))) version_ = *v;
                const std::string_view type = column(line, 20, 21);
                file_type_ = type.empty() ? 0 : type[0];
            } else if (label.find("END OF HEADER") != std::string_view::npos) {
                ++pos_;
                return true;
            }
        }
        return false;
    }

    // Version 3 records in lines [i, end). With `only` set, records of other systems are skipped.
    void read_v3(std::size_t i, std::size_t end, char only) {
        while (i < end) {
            const std::string_view line = lines_[i];
            if (is_blank(line)) {
                ++i;
                continue;
            }
            const char system = line[0];
            if (only != 0 && system != only) {
                ++i;
                continue;
            }
            if (system == 'G' || system == 'J' || system == 'E' || system == 'C') {
                if (i + 7 >= end) {
                    ++i;
                    continue;
                }
                store_kepler(&lines_[i], kLayout3, system);
                i += 8;
            } else if (system == 'R') {
                if (i + 3 >= end) {
                    ++i;
                    continue;
                }
                store_glonass(&lines_[i], kLayout3);
                i += 4;
            } else {
                ++i;
            }
        }
    }

    // Version 2 files hold one constellation, named by the file type: "G" GLONASS (4-line
    // records), "H" SBAS (4-line records, not kept), anything else the 8-line GPS records.
    void read_v2(std::size_t i, std::size_t end) {
        const bool four_lines = file_type_ == 'G' || file_type_ == 'H';
        const std::size_t span = four_lines ? 4 : 8;
        while (i < end) {
            if (is_blank(lines_[i])) {
                ++i;
                continue;
            }
            if (i + span - 1 >= end) {
                ++i;
                continue;
            }
            if (file_type_ == 'G')
                store_glonass(&lines_[i], kLayout2);
            else if (file_type_ != 'H')
                store_kepler(&lines_[i], kLayout2, 'G');
            i += span;
        }
    }

    // Version 4: every record follows a "> TYPE sss MESSAGE" line and runs to the next ">" line.
    // Only the legacy ephemeris messages are kept; everything else (other ephemeris messages,
    // system time offsets, Earth orientation, ionosphere) is skipped whole.
    void read_v4(std::size_t i, std::size_t end) {
        while (i < end) {
            if (!is_marker(lines_[i])) {
                ++i;
                continue;
            }
            std::size_t j = i + 1;
            while (j < end && !is_marker(lines_[j])) ++j;
            if (char system = kept_ephemeris(lines_[i])) read_v3(i + 1, j, system);
            i = j;
        }
    }

    static bool is_marker(std::string_view line) { return !line.empty() && line[0] == '>'; }

    // The system letter of a kept "> EPH" record, or 0.
    static char kept_ephemeris(std::string_view line) {
        std::string_view tok[3];
        int n = 0;
        for_each_token(line.substr(1), [&](std::string_view t) {
            if (n < 3) tok[n] = t;
            ++n;
        });
        if (n < 3 || tok[0] != "EPH" || tok[1].empty()) return 0;
        const char system = tok[1][0];
        const std::string_view type = tok[2];
        switch (system) {
            case 'G':
            case 'J':
                return type == "LNAV" ? system : 0;
            case 'E':
                return type == "INAV" || type == "FNAV" ? system : 0;
            case 'C':
                return type == "D1" || type == "D2" ? system : 0;
            case 'R':
                return type == "FDMA" ? system : 0;
            default:
                return 0;
        }
    }

    void store_kepler(const std::string_view* l, const Layout& L, char system) {
        const auto head = parse_line1(l[0], L);
        if (!head) return;
        const std::size_t* f = L.fields;
        KeplerEphemeris k;
        k.epoch = head->epoch;
        k.af0 = nav_data_field(l[0], L.clock[0]);
        k.af1 = nav_data_field(l[0], L.clock[1]);
        k.af2 = nav_data_field(l[0], L.clock[2]);
        k.iode = nav_data_field(l[1], f[0]);
        k.crs = nav_data_field(l[1], f[1]);
        k.delta_n = nav_data_field(l[1], f[2]);
        k.m0 = nav_data_field(l[1], f[3]);
        k.cuc = nav_data_field(l[2], f[0]);
        k.e = nav_data_field(l[2], f[1]);
        k.cus = nav_data_field(l[2], f[2]);
        k.sqrt_a = nav_data_field(l[2], f[3]);
        k.toe = nav_data_field(l[3], f[0]);
        k.cic = nav_data_field(l[3], f[1]);
        k.omega0 = nav_data_field(l[3], f[2]);
        k.cis = nav_data_field(l[3], f[3]);
        k.i0 = nav_data_field(l[4], f[0]);
        k.crc = nav_data_field(l[4], f[1]);
        k.omega = nav_data_field(l[4], f[2]);
        k.omega_dot = nav_data_field(l[4], f[3]);
        k.idot = nav_data_field(l[5], f[0]);
        k.week = saturating_cast<std::int32_t>(nav_data_field(l[5], f[2]));
        k.prn = head->number;
        k.system = system;
        k.prepare();
        auto& map = system == 'C' ? nav_.beidou : system == 'E' ? nav_.galileo : nav_.gps;
        map[satellite_key(system, k.prn)].push_back(k);
    }

    void store_glonass(const std::string_view* l, const Layout& L) {
        const auto head = parse_line1(l[0], L);
        if (!head) return;
        const std::size_t* f = L.fields;
        GlonassEphemeris g;
        g.epoch = head->epoch;
        g.clock_bias = nav_data_field(l[0], L.clock[0]);
        g.relative_frequency_bias = nav_data_field(l[0], L.clock[1]);
        g.message_frame_time = nav_data_field(l[0], L.clock[2]);
        g.x = nav_data_field(l[1], f[0]) * 1000.0;
        g.vx = nav_data_field(l[1], f[1]) * 1000.0;
        g.ax = nav_data_field(l[1], f[2]) * 1000.0;
        g.y = nav_data_field(l[2], f[0]) * 1000.0;
        g.vy = nav_data_field(l[2], f[1]) * 1000.0;
        g.ay = nav_data_field(l[2], f[2]) * 1000.0;
        g.frequency_channel = saturating_cast<std::int32_t>(nav_data_field(l[2], f[3]));
        g.z = nav_data_field(l[3], f[0]) * 1000.0;
        g.vz = nav_data_field(l[3], f[1]) * 1000.0;
        g.az = nav_data_field(l[3], f[2]) * 1000.0;
        g.slot = head->number;
        g.epoch_jd = julian_date(g.epoch);
        std::string key = satellite_key('R', g.slot);
        if (g.frequency_channel != 0) nav_.glonass_channels[key] = g.frequency_channel;
        nav_.glonass[std::move(key)].push_back(g);
    }
};

}  // namespace

double nav_data_field(std::string_view line, std::size_t start) {
    if (start >= line.size()) return 0.0;
    const std::string_view s = trim(column(line, start, start + 19));
    if (s.empty() || s.size() > 19) return 0.0;
    char buf[19];
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        buf[i] = c == 'D' ? 'E' : c == 'd' ? 'e' : c;
    }
    return parse_float(std::string_view(buf, s.size())).value_or(0.0);
}

Expected<NavigationData> read_navigation_content(std::string_view bytes) {
    auto content = expand_content(bytes);
    if (!content) return Expected<NavigationData>::failure(content.error());
    const DecodedText text(content->view());
    return NavReader(text.view()).run();
}

}  // namespace tessora
