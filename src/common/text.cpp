#include "common/text.hpp"

#include <cstring>

namespace tessora {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes there do not start one.
// On failure `bad` receives the length of the maximal subpart to replace by one U+FFFD.
inline std::size_t utf8_seq_len(const unsigned char* s, std::size_t i, std::size_t n, std::size_t& bad) {
    const unsigned char c = s[i];
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    std::size_t k = 1;
    for (; k <= need; ++k) {
        if (i + k >= n) break;
        const unsigned char t = s[i + k];
        const unsigned char l = (k == 1) ? lo : 0x80;
        const unsigned char h = (k == 1) ? hi : 0xBF;
        if (t < l || t > h) break;
    }
    if (k == need + 1) return need + 1;
    bad = k;  // the lead byte and the valid continuation bytes seen so far
    return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Fast path over runs of ASCII, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        std::size_t len = utf8_seq_len(s, i, n, bad);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    std::size_t run = 0;  // start of the pending run of valid bytes
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        std::size_t len = utf8_seq_len(s, i, n, bad);
        if (len) {
            i += len;
            continue;
        }
        out.append(bytes.data() + run, i - run);
        out.append("\xEF\xBF\xBD");
        i += bad;
        run = i;
    }
    out.append(bytes.data() + run, n - run);
}

DecodedText::DecodedText(std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        view_ = bytes;
    } else {
        owned_.reserve(bytes.size() + bytes.size() / 8);
        append_utf8_lossy(owned_, bytes);
        view_ = owned_;
    }
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    lines.reserve(text.size() / 64 + 16);
    append_lines(text, lines);
    return lines;
}


// Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000.
std::size_t whitespace_len_at_slow(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
    const std::size_t n = s.size();
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (c == 0xC2 && i + 1 < n) return (b(1) == 0x85 || b(1) == 0xA0) ? 2 : 0;
    if (i + 2 >= n) return 0;
    if (c == 0xE1) return (b(1) == 0x9A && b(2) == 0x80) ? 3 : 0;
    if (c == 0xE2) {
        if (b(1) == 0x80) {
            const unsigned char t = b(2);
            return ((t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF) ? 3 : 0;
        }
        if (b(1) == 0x81) return b(2) == 0x9F ? 3 : 0;
        return 0;
    }
    if (c == 0xE3) return (b(1) == 0x80 && b(2) == 0x80) ? 3 : 0;
    return 0;
}

std::size_t whitespace_len_before(std::string_view s, std::size_t end) {
    if (end == 0) return 0;
    const auto c = static_cast<unsigned char>(s[end - 1]);
    if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
    if (end >= 2 && whitespace_len_at(s.substr(0, end), end - 2) == 2) return 2;
    if (end >= 3 && whitespace_len_at(s.substr(0, end), end - 3) == 3) return 3;
    return 0;
}

std::string_view trim_start_slow(std::string_view s) {
    std::size_t i = 0, w;
    while (i < s.size() && (w = whitespace_len_at_slow(s, i)) != 0) i += w;
    return s.substr(i);
}

std::string_view trim_end_slow(std::string_view s) {
    std::size_t e = s.size(), w;
    while (e > 0 && (w = whitespace_len_before(s, e)) != 0) e -= w;
    return s.substr(0, e);
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
    std::vector<std::string_view> out;
    for_each_token(s, [&](std::string_view t) { out.push_back(t); });
    return out;
}

}  // namespace tessora
