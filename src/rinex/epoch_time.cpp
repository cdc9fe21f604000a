#include "rinex/epoch_time.hpp"

#include <charconv>
#include <cmath>

#include "common/numbers.hpp"

namespace tessora {

namespace {

void append_padded_int(std::string& out, std::int64_t v, std::size_t width) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v < 0 ? -v : v);
    std::size_t len = static_cast<std::size_t>(r.ptr - buf) + (v < 0 ? 1 : 0);
    if (v < 0) out += '-';
    if (len < width) out.append(width - len, '0');
    out.append(buf, r.ptr);
}

}  // namespace

void append_epoch_text(std::string& out, const EpochTime& t) {
    append_padded_int(out, t.year, 4);
    out += '-';
    append_padded_int(out, t.month, 2);
    out += '-';
    append_padded_int(out, t.day, 2);
    out += 'T';
    append_padded_int(out, t.hour, 2);
    out += ':';
    append_padded_int(out, t.minute, 2);
    out += ':';
    std::string sec;
    append_fixed(sec, t.second, 3);
    if (!std::isfinite(t.second)) {
        // Non-finite values are padded with blanks, never zeros.
        if (sec.size() < 6) out.append(6 - sec.size(), ' ');
        out += sec;
    } else if (sec.size() < 6) {
        // Zero padding goes after the sign.
        std::size_t sign = (sec[0] == '-') ? 1 : 0;
        out.append(sec, 0, sign);
        out.append(6 - sec.size(), '0');
        out.append(sec, sign, std::string::npos);
    } else {
        out += sec;
    }
    out += 'Z';
}

std::string epoch_text(const EpochTime& t) {
    std::string s;
    s.reserve(24);
    append_epoch_text(s, t);
    return s;
}

std::optional<EpochTime> parse_epoch_text(std::string_view s) {
    // YYYY-MM-DDTHH:MM:SS.sssZ
    if (s.size() < 2 || s.back() != 'Z') return std::nullopt;
    s.remove_suffix(1);
    auto take = [&](char sep) -> std::optional<std::string_view> {
        auto pos = s.find(sep, 1);  // a leading '-' belongs to a negative year
        if (pos == std::string_view::npos) return std::nullopt;
        auto part = s.substr(0, pos);
        s.remove_prefix(pos + 1);
        return part;
    };
    auto y = take('-');
    auto mo = take('-');
    auto d = take('T');
    auto h = take(':');
    auto mi = take(':');
    if (!y || !mo || !d || !h || !mi) return std::nullopt;
    EpochTime t;
    auto yy = parse_int<std::int32_t>(*y);
    auto mm = parse_uint<std::uint32_t>(*mo);
    auto dd = parse_uint<std::uint32_t>(*d);
    auto hh = parse_uint<std::uint32_t>(*h);
    auto mn = parse_uint<std::uint32_t>(*mi);
    auto ss = parse_float(s);
    if (!yy || !mm || !dd || !hh || !mn || !ss) return std::nullopt;
    t.year = *yy;
    t.month = *mm;
    t.day = *dd;
    t.hour = *hh;
    t.minute = *mn;
    t.second = *ss;
    return t;
}

double julian_date(const EpochTime& t) {
    const double month = static_cast<double>(t.month);
    const double a = std::floor((14.0 - month) / 12.0);
    const double y = static_cast<double>(t.year) + 4800.0 - a;
    const double m = month + 12.0 * a - 3.0;
    const double jdn = static_cast<double>(t.day) + std::floor((153.0 * m + 2.0) / 5.0) + 365.0 * y +
                       std::floor(y / 4.0) - std::floor(y / 100.0) + std::floor(y / 400.0) - 32045.0;
    const double frac = (static_cast<double>(t.hour) * 3600.0 + static_cast<double>(t.minute) * 60.0 + t.second) / 86400.0;
    return jdn + frac;
}

}  // namespace tessora
