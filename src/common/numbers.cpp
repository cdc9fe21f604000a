#include "common/numbers.hpp"

#include <charconv>
#include <cstring>

namespace tessora {

namespace {

bool iequals(std::string_view a, const char* b) {
    const std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<double> parse_float(std::string_view s) {
    if (s.empty()) return std::nullopt;
    bool neg = false;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        s.remove_prefix(1);
        if (s.empty()) return std::nullopt;
    }
    const char c0 = s[0];
    if (c0 == 'i' || c0 == 'I' || c0 == 'n' || c0 == 'N') {
        double v;
        if (iequals(s, "inf") || iequals(s, "infinity")) {
            v = std::numeric_limits<double>::infinity();
        } else if (iequals(s, "nan")) {
            v = std::numeric_limits<double>::quiet_NaN();
        } else {
            return std::nullopt;
        }
        return neg ? -v : v;
    }
    {
        detail::PlainDecimal d;
        const char* end = s.data() + s.size();
        const char* stop = detail::scan_plain_decimal(s.data(), end, d);
        if (stop == end && d.exact()) return neg ? -d.value() : d.value();
        if (d.digits == 0 && (stop == end || *stop == 'e' || *stop == 'E')) return std::nullopt;
    }
    if (s[0] == '+' || s[0] == '-') return std::nullopt;  // a second sign
    double v = 0.0;
    auto res = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (res.ptr != s.data() + s.size()) return std::nullopt;
    if (res.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value unchanged on range errors; decimal text is still a
        // number then: overflow becomes infinity, underflow zero.
        bool big = false;
        // Decide by the exponent sign: a text overflows only with a large positive exponent
        // or many integer digits.
        std::size_t epos = s.find_first_of("eE");
        std::string_view mant = s.substr(0, epos);
        long long exp10 = 0;
        if (epos != std::string_view::npos) {
            auto e = parse_int<long long>(s.substr(epos + 1));
            exp10 = e ? *e : (s.size() > epos + 1 && s[epos + 1] == '-' ? -1000000 : 1000000);
        }
        std::size_t dot = mant.find('.');
        std::size_t int_digits = dot == std::string_view::npos ? mant.size() : dot;
        // Leading zeros of the integer part do not count.
        std::size_t k = 0;
        while (k < int_digits && mant[k] == '0') ++k;
        long long magnitude = static_cast<long long>(int_digits - k) + exp10;
        big = magnitude > 0;
        v = big ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (res.ec != std::errc()) {
        return std::nullopt;
    }
    return neg ? -v : v;
}

static void append_nonfinite(std::string& out, double v) {
    if (std::isnan(v)) out += "NaN";
    else out += v < 0 ? "-inf" : "inf";
}

void append_fixed(std::string& out, double v, int decimals) {
    if (!std::isfinite(v)) return append_nonfinite(out, v);
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    out.append(buf, r.ptr);
}

std::string format_fixed(double v, int decimals) {
    std::string s;
    append_fixed(s, v, decimals);
    return s;
}

void append_shortest_plain(std::string& out, double v) {
    if (!std::isfinite(v)) return append_nonfinite(out, v);
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    out.append(buf, r.ptr);
}

std::string format_shortest_plain(double v) {
    std::string s;
    append_shortest_plain(s, v);
    return s;
}

char* write_json_number(char* p, double v) {
    if (!std::isfinite(v)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    // Values that are exactly k / 10^d for a small number of decimals d (integral values, CN0
    // values as RINEX writes them, bin edges): the text of k with the point placed d digits from
    // the right reads back as v, since the division is correctly rounded like the reading of the
    // text. With |k| < 10^15 no other text of at most 15 significant digits reads back as v, and
    // trying d upwards gives k without trailing zeros, so these are the shortest digits. The
    // decimal exponent then lies within -3..14: plain notation.
    {
        constexpr double kScale[] = {1.0, 10.0, 100.0, 1000.0};
        const double a = std::fabs(v);
        // A value with fewer decimals also passes the test with three (k scaled by a power of
        // ten is the same real quotient), so one test with three decimals rules out the rest.
        if (a < 1e12 && std::nearbyint(a * 1000.0) / 1000.0 == a) {
            for (int d = 0; d < 4; ++d) {
                const double k = std::nearbyint(a * kScale[d]);
                if (k >= 1e15) break;
                if (k / kScale[d] != a) continue;
                if (std::signbit(v)) *p++ = '-';
                char digits[24];
                const std::uint64_t ki = static_cast<std::uint64_t>(k);
                char* de = std::to_chars(digits, digits + sizeof digits, ki).ptr;
                const int nd = static_cast<int>(de - digits);
                if (d == 0) {
                    std::memcpy(p, digits, static_cast<std::size_t>(nd));
                    p += nd;
                    *p++ = '.';
                    *p++ = '0';
                } else if (nd > d) {
                    std::memcpy(p, digits, static_cast<std::size_t>(nd - d));
                    p += nd - d;
                    *p++ = '.';
                    std::memcpy(p, digits + nd - d, static_cast<std::size_t>(d));
                    p += d;
                } else {
                    *p++ = '0';
                    *p++ = '.';
                    for (int i = nd; i < d; ++i) *p++ = '0';
                    std::memcpy(p, digits, static_cast<std::size_t>(nd));
                    p += nd;
                }
                return p;
            }
        }
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX[X].
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const char* q = buf;
    const char* const end = r.ptr;
    if (*q == '-') {
        *p++ = '-';
        ++q;
    }
    // Gather the significant digits without the point.
    char digits[24];
    int nd = 0;
    digits[nd++] = *q++;
    if (*q == '.') {
        ++q;
        while (*q != 'e') digits[nd++] = *q++;
    }
    ++q;  // 'e'
    const bool eneg = *q == '-';
    ++q;  // the exponent always carries a sign
    int exp = 0;
    for (; q < end; ++q) exp = exp * 10 + (*q - '0');
    if (eneg) exp = -exp;

    if (exp >= -5 && exp <= 15) {
        if (exp < 0) {
            // 0.000ddd: a zero, the point, -E-1 zeros, then the digits.
            *p++ = '0';
            *p++ = '.';
            for (int i = 0; i < -exp - 1; ++i) *p++ = '0';
            std::memcpy(p, digits, static_cast<std::size_t>(nd));
            p += nd;
        } else if (exp + 1 >= nd) {
            // All digits before the point: pad with zeros up to it and add ".0".
            std::memcpy(p, digits, static_cast<std::size_t>(nd));
            p += nd;
            for (int i = 0; i < exp + 1 - nd; ++i) *p++ = '0';
            *p++ = '.';
            *p++ = '0';
        } else {
            std::memcpy(p, digits, static_cast<std::size_t>(exp + 1));
            p += exp + 1;
            *p++ = '.';
            std::memcpy(p, digits + exp + 1, static_cast<std::size_t>(nd - exp - 1));
            p += nd - exp - 1;
        }
    } else {
        // d[.ddd]e(+|-)E with the exponent written without leading zeros.
        *p++ = digits[0];
        if (nd > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<std::size_t>(nd - 1));
            p += nd - 1;
        }
        *p++ = 'e';
        *p++ = exp < 0 ? '-' : '+';
        const unsigned ae = static_cast<unsigned>(exp < 0 ? -exp : exp);
        p = std::to_chars(p, p + 4, ae).ptr;
    }
    return p;
}

void append_json_number(std::string& out, double v) {
    char buf[kJsonNumberMax];
    char* e = write_json_number(buf, v);
    out.append(buf, e);
}

void append_uint(std::string& out, std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

}  // namespace tessora
