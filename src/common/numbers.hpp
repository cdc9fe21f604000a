// Number syntax of the readers and number formatting of the outputs. Never locale dependent.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/text.hpp"

namespace tessora {

// Decimal digit pairs "00" to "99", for writing numbers two digits at a time.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of u ending just before p; returns the first written character.
// Zero gives one digit, or none with `zero_digit` false (compact RINEX writes ".250").
inline char* digits_back(char* p, std::uint64_t u, bool zero_digit = true) {
    while (u >= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * (u % 100), 2);
        u /= 100;
    }
    if (u >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * u, 2);
    } else if (u > 0 || zero_digit) {
        *--p = static_cast<char>('0' + u);
    }
    return p;
}

// Decimal floating-point text: optional sign, digits with optional fraction and exponent (e/E),
// or the words inf, infinity and nan in any letter case. No surrounding white space, no Fortran
// D exponent, no hexadecimal.
std::optional<double> parse_float(std::string_view s);

namespace detail {
inline constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Reads "digits[.digits]" from [p, e) and returns where it stopped. With at most 15 digits the
// mantissa and the power of ten are exact, so mantissa / 10^frac is the correctly rounded value:
// the fast path for the fixed-point fields RINEX writers use (F14.3 and the like).
struct PlainDecimal {
    std::uint64_t mantissa = 0;
    int digits = 0;
    int frac = 0;
    bool exact() const { return digits > 0 && digits <= 15; }
    double value() const { return static_cast<double>(mantissa) / kPow10[frac]; }
};
inline const char* scan_plain_decimal(const char* p, const char* e, PlainDecimal& d) {
    while (p < e && static_cast<unsigned>(*p - '0') < 10) {
        d.mantissa = d.mantissa * 10 + static_cast<unsigned>(*p - '0');
        ++p;
        ++d.digits;
    }
    if (p < e && *p == '.') {
        ++p;
        while (p < e && static_cast<unsigned>(*p - '0') < 10) {
            d.mantissa = d.mantissa * 10 + static_cast<unsigned>(*p - '0');
            ++p;
            ++d.digits;
            ++d.frac;
        }
    }
    return p;
}
}  // namespace detail

// A blank-padded fixed-column field, trimmed and read with parse_float. The common layout
// ("  23619095.450", optional minus) is read in place without trimming; anything else goes
// through the general parser.
inline std::optional<double> parse_float_field(std::string_view f) {
    const char* p = f.data();
    const char* const e = p + f.size();
    while (p < e && *p == ' ') ++p;
    if (p == e) return std::nullopt;
    const char* const start = p;
    const bool neg = *p == '-';
    if (neg) ++p;
    detail::PlainDecimal d;
    const char* q = detail::scan_plain_decimal(p, e, d);
    while (q < e && *q == ' ') ++q;
    if (q == e && d.exact()) return neg ? -d.value() : d.value();
    return parse_float(trim(std::string_view(start, static_cast<std::size_t>(e - start))));
}

// Optional "+" and decimal digits; overflow of T is not a number.
template <typename T>
std::optional<T> parse_uint(std::string_view s) {
    static_assert(std::is_unsigned_v<T>);
    std::size_t i = 0;
    if (i < s.size() && s[i] == '+') ++i;
    if (i == s.size()) return std::nullopt;
    T v = 0;
    for (; i < s.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(s[i]) - static_cast<unsigned>('0');
        if (d > 9) return std::nullopt;
        if (v > (std::numeric_limits<T>::max() - d) / 10) return std::nullopt;
        v = static_cast<T>(v * 10 + d);
    }
    return v;
}

// Optional "+" or "-" and decimal digits; overflow of T is not a number.
template <typename T>
std::optional<T> parse_int(std::string_view s) {
    static_assert(std::is_signed_v<T>);
    using U = std::make_unsigned_t<T>;
    bool neg = false;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        ++i;
    }
    if (i == s.size()) return std::nullopt;
    const U limit = neg ? static_cast<U>(std::numeric_limits<T>::max()) + 1u
                        : static_cast<U>(std::numeric_limits<T>::max());
    U v = 0;
    for (; i < s.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(s[i]) - static_cast<unsigned>('0');
        if (d > 9) return std::nullopt;
        if (v > (limit - d) / 10) return std::nullopt;
        v = static_cast<U>(v * 10 + d);
    }
    if (neg) return static_cast<T>(static_cast<T>(0) - static_cast<T>(v - 1) - 1);
    return static_cast<T>(v);
}

// Float to integer conversion that saturates at the limits of T; NaN gives 0.
template <typename T>
T saturating_cast(double x) {
    if (std::isnan(x)) return 0;
    if (x <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (x >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(x);
}

// Fixed number of decimals from the exact binary value, ties to even; NaN as "NaN",
// infinities as "inf" / "-inf".
void append_fixed(std::string& out, double v, int decimals);
std::string format_fixed(double v, int decimals);

// Shortest round-trip digits in plain notation, without a fractional part for integral values
// (12.5 -> "12.5", 10.0 -> "10", 1e21 -> "1000000000000000000000").
void append_shortest_plain(std::string& out, double v);
std::string format_shortest_plain(double v);

// JSON number: shortest round-trip digits; plain notation with a fractional part for decimal
// exponents -5..15, exponent notation (1e+16, 1.5e-7) outside; NaN and infinities as null.
void append_json_number(std::string& out, double v);

// The same JSON number written at `p`, which must have room for kJsonNumberMax characters;
// returns the end of the written text. No allocation.
inline constexpr std::size_t kJsonNumberMax = 32;
char* write_json_number(char* p, double v);

// Decimal text of an unsigned / signed integer.
void append_uint(std::string& out, std::uint64_t v);
void append_int(std::string& out, std::int64_t v);

}  // namespace tessora
