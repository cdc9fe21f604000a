// Counting GNSS element sets in TLE text.
#include <cstdint>
#include <string>

#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/unicode.hpp"
#include "tle/tle.hpp"

namespace tessora {
namespace {

// Line 2 holds the mean motion in columns 52-62; line 1 is read up to its drag term (column 60).
// A set whose lines are cut before these columns is not counted.
constexpr std::size_t kMeanMotionStart = 52;
constexpr std::size_t kMeanMotionEnd = 63;
constexpr std::size_t kLine1MinLength = 61;

bool contains(std::string_view s, std::string_view what) { return s.find(what) != std::string_view::npos; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The run of ASCII digits at the start of `s` read as a number: non-empty and within a signed
// 32-bit integer.
std::optional<std::int32_t> leading_number(std::string_view s) {
    std::size_t n = 0;
    while (n < s.size() && is_digit(s[n])) ++n;
    if (n == 0) return std::nullopt;
    return parse_int<std::int32_t>(s.substr(0, n));
}

// The digits directly after the first occurrence of `marker`.
std::optional<std::int32_t> number_after(std::string_view name, std::string_view marker) {
    const std::size_t at = name.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    return leading_number(name.substr(at + marker.size()));
}

// The first run of digits at or after the start of `s`.
std::optional<std::int32_t> first_number(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && !is_digit(s[i])) ++i;
    return leading_number(s.substr(i));
}

// System letter plus the number, zero-padded to at least two digits.
std::string make_id(char system, std::int64_t n) {
    std::string id(1, system);
    if (n >= 0 && n < 10) id += '0';
    append_int(id, n);
    return id;
}

}  // namespace

std::optional<std::string> tle_satellite_id(std::string_view name) {
    // GPS: "GPS BIIR-2  (PRN 13)", "NAVSTAR ... (PRN 13)".
    if ((contains(name, "GPS") || contains(name, "NAVSTAR")) && contains(name, "PRN")) {
        if (auto n = first_number(name.substr(name.find("PRN") + 3))) return make_id('G', *n);
    }
    // GLONASS satellites are catalogued as COSMOS 2xxx; they carry no slot number in the name.
    if (contains(name, "GLONASS") || contains(name, "COSMOS 2")) return std::nullopt;
    // Galileo: "GALILEO 26 (E12)" names the PRN; "GSAT0101 (GALILEO-PFM)" only the build number.
    if (contains(name, "GALILEO") || contains(name, "GSAT")) {
        if (auto n = number_after(name, "(E")) return make_id('E', *n);
        if (contains(name, "GSAT")) {
            if (auto g = number_after(name, "GSAT")) return make_id('E', *g % 36 + 1);
        }
    }
    if (contains(name, "BEIDOU")) return std::nullopt;
    // QZSS: "QZS-1 (MICHIBIKI-1)" -> J01.
    if (contains(name, "QZS") || contains(name, "MICHIBIKI")) {
        if (auto n = first_number(name)) return make_id('J', *n);
    }
    return std::nullopt;
}

double tle_mean_motion(std::string_view line2) {
    if (line2.size() < kMeanMotionEnd) return 0.0;
    return parse_float(trim(column(line2, kMeanMotionStart, kMeanMotionEnd))).value_or(0.0);
}

std::uint64_t parse_tle_content(std::string_view bytes) {
    // Text from Python is valid UTF-8 already; anything else is repaired so that the upper-casing
    // and the white-space trimming always see whole characters.
    const DecodedText decoded(bytes);
    const std::vector<std::string_view> lines = split_lines(decoded.view());
    std::uint64_t count = 0;
    std::size_t i = 0;
    while (i + 2 < lines.size()) {
        const std::string_view l1 = trim(lines[i + 1]);
        const std::string_view l2 = trim(lines[i + 2]);
        if (l1.empty() || l1.front() != '1' || l2.empty() || l2.front() != '2') {
            ++i;  // a stray line shifts the grouping by one
            continue;
        }
        if (l1.size() >= kLine1MinLength) {
            const std::string name = to_upper_unicode(trim(lines[i]));
            if (tle_satellite_id(name) && tle_mean_motion(l2) > 0.0) ++count;
        }
        i += 3;
    }
    return count;
}

}  // namespace tessora
