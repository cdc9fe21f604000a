#include "common/unicode.hpp"

#include <algorithm>

namespace tessora {

namespace {
#include "common/unicode_tables.inc"
}  // namespace

std::size_t decode_utf8_char(std::string_view s, std::size_t i, std::uint32_t& cp) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(s[i + k])); };
    const std::uint32_t c = b(0);
    const std::size_t n = s.size() - i;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c < 0xE0 && n >= 2) {
        cp = ((c & 0x1F) << 6) | (b(1) & 0x3F);
        return 2;
    }
    if (c < 0xF0 && n >= 3) {
        cp = ((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        return 3;
    }
    if (n >= 4) {
        cp = ((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
        return 4;
    }
    cp = 0xFFFD;
    return n;
}

void append_utf8_char(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool is_alphabetic(std::uint32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z');
    auto it = std::upper_bound(std::begin(kAlphabetic), std::end(kAlphabetic), cp,
                               [](std::uint32_t v, const std::uint32_t (&r)[2]) { return v < r[0]; });
    if (it == std::begin(kAlphabetic)) return false;
    --it;
    return cp <= (*it)[1];
}

bool starts_with_letter(std::string_view s) {
    if (s.empty()) return false;
    std::uint32_t cp;
    decode_utf8_char(s, 0, cp);
    return is_alphabetic(cp);
}

std::string to_upper_unicode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        std::uint32_t cp;
        std::size_t len = decode_utf8_char(s, i, cp);
        if (cp < 0x80) {
            out += (cp >= 'a' && cp <= 'z') ? static_cast<char>(cp - 32) : static_cast<char>(cp);
        } else {
            auto it = std::lower_bound(std::begin(kUpper), std::end(kUpper), cp,
                                       [](const UpperMapping& m, std::uint32_t v) { return m.cp < v; });
            if (it != std::end(kUpper) && it->cp == cp) {
                for (std::uint32_t t : it->to)
                    if (t) append_utf8_char(out, t);
            } else {
                out.append(s.substr(i, len));
            }
        }
        i += len;
    }
    return out;
}

}  // namespace tessora
