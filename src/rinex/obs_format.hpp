// Fixed-column number fields of the RINEX observation writer, formatted by hand: a day file holds
// tens of millions of F14.3 fields, and printf per field would cost seconds.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/numbers.hpp"

namespace tessora::rinex_format {

// What an observation value becomes in an F14.3 field.
enum class FieldKind : std::uint8_t {
    value,       // written: `thousandths` holds the value in units of 0.001
    zero,        // rounds to 0.000, which every reader takes for "no observation": left blank
    unwritable,  // NaN, an infinity, or beyond the field (at least 9999999999.9995 or at most
                 // -999999999.9995, which need a fifteenth column)
};

inline constexpr std::int64_t kMaxThousandths = 9999999999999;  // 9999999999.999
inline constexpr std::int64_t kMinThousandths = -999999999999;  // -999999999.999

// The value rounded to three decimals as the exact decimal expansion of the binary value would
// round it (ties to even): value * 1000 rounded to the nearest integer, which is the same except
// next to a tie, where the exact formatting decides.
inline FieldKind to_thousandths(double v, std::int64_t& out) {
    if (!std::isfinite(v) || std::fabs(v) >= 1e11) return FieldKind::unwritable;
    const double t = v * 1000.0;
    double r = std::nearbyint(t);
    if (std::fabs(std::fabs(t - r) - 0.5) < 1e-6) {
        std::string s;
        append_fixed(s, v, 3);
        const bool neg = s[0] == '-';
        std::int64_t u = 0;
        for (char c : s)
            if (c >= '0' && c <= '9') u = u * 10 + (c - '0');
        r = static_cast<double>(neg ? -u : u);
    }
    const auto k = static_cast<std::int64_t>(r);
    if (k > kMaxThousandths || k < kMinThousandths) return FieldKind::unwritable;
    if (k == 0) return FieldKind::zero;
    out = k;
    return FieldKind::value;
}

// An F14.3 field of k thousandths (within kMinThousandths..kMaxThousandths) into w[0, 14):
// right-aligned, a zero before the point of values below one ("         0.250").
inline void write_f14_3(char* w, std::int64_t k) {
    const std::uint64_t u = k < 0 ? 0 - static_cast<std::uint64_t>(k) : static_cast<std::uint64_t>(k);
    std::memset(w, ' ', 14);
    const std::uint64_t frac = u % 1000;
    w[13] = static_cast<char>('0' + frac % 10);
    w[12] = static_cast<char>('0' + frac / 10 % 10);
    w[11] = static_cast<char>('0' + frac / 100);
    w[10] = '.';
    char* p = digits_back(w + 10, u / 1000);
    if (k < 0) p[-1] = '-';
}

// An unsigned integer right-aligned in `width` columns, zero-padded to `zeros` digits at least;
// wider when it does not fit. Returns the end.
inline char* write_uint(char* w, std::uint64_t v, int width, int zeros = 1) {
    char tmp[24];
    char* const end = tmp + sizeof tmp;
    char* p = digits_back(end, v);
    while (end - p < zeros) *--p = '0';
    const auto len = static_cast<int>(end - p);
    for (int i = len; i < width; ++i) *w++ = ' ';
    std::memcpy(w, p, static_cast<std::size_t>(len));
    return w + len;
}

inline char* write_int(char* w, std::int64_t v, int width) {
    if (v >= 0) return write_uint(w, static_cast<std::uint64_t>(v), width);
    char tmp[24];
    char* const end = tmp + sizeof tmp;
    char* p = digits_back(end, 0 - static_cast<std::uint64_t>(v));
    *--p = '-';
    const auto len = static_cast<int>(end - p);
    for (int i = len; i < width; ++i) *w++ = ' ';
    std::memcpy(w, p, static_cast<std::size_t>(len));
    return w + len;
}

}  // namespace tessora::rinex_format
