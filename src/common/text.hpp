// Text helpers shared by the readers: lossy UTF-8 decoding, line splitting, Unicode-aware
// trimming and white-space splitting, and fixed-column cuts that never split a character.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessora {

// Hash of texts that also accepts string_view keys, so that lookups never allocate.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <typename V>
using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// Decoded text of a file. When the input is valid UTF-8 (the normal case) the text is a view of
// the caller's bytes and nothing is copied; otherwise every invalid sequence is replaced by
// U+FFFD (maximal-subpart rule) in an owned copy.
class DecodedText {
public:
    explicit DecodedText(std::string_view bytes);
    DecodedText(const DecodedText&) = delete;
    DecodedText& operator=(const DecodedText&) = delete;
    std::string_view view() const { return view_; }

private:
    std::string owned_;
    std::string_view view_;
};

// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Appends `bytes` to `out`, replacing each invalid sequence by U+FFFD.
void append_utf8_lossy(std::string& out, std::string_view bytes);

// Lines split at "\n"; a "\r" right before the "\n" is dropped; a final line without terminator
// counts; a terminator at the very end does not create an empty last line.
std::vector<std::string_view> split_lines(std::string_view text);
// The same, appending the lines of `text` to `lines`.
template <typename Lines>
void append_lines(std::string_view text, Lines& lines) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!nl) {
            lines.emplace_back(p, static_cast<std::size_t>(end - p));
            break;
        }
        const char* e = nl;
        if (e > p && e[-1] == '\r') --e;
        lines.emplace_back(p, static_cast<std::size_t>(e - p));
        p = nl + 1;
    }
}

// Unicode White_Space at the front / back of a UTF-8 text. Inline with a fast path for ASCII,
// since the readers trim every field.
std::string_view trim_start_slow(std::string_view s);
std::string_view trim_end_slow(std::string_view s);

inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

inline std::string_view trim_start(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_ascii_space(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && static_cast<unsigned char>(s[i]) >= 0x80) return trim_start_slow(s.substr(i));
    return s.substr(i);
}

inline std::string_view trim_end(std::string_view s) {
    std::size_t e = s.size();
    while (e > 0 && is_ascii_space(static_cast<unsigned char>(s[e - 1]))) --e;
    if (e > 0 && static_cast<unsigned char>(s[e - 1]) >= 0x80) return trim_end_slow(s.substr(0, e));
    return s.substr(0, e);
}

inline std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

// Fields separated by runs of Unicode White_Space; empty fields are never produced.
std::vector<std::string_view> split_whitespace(std::string_view s);

// Calls f(token) for every white-space separated token, without allocating.
template <typename F>
void for_each_token(std::string_view s, F&& f);

// Byte columns [a, b) of a line, both clamped to the line. The start is moved forward and the end
// back to character boundaries, so a cut never yields a partial UTF-8 sequence.
inline std::string_view column(std::string_view line, std::size_t a, std::size_t b) {
    const std::size_t n = line.size();
    if (b > n) b = n;
    if (a >= b) return {};
    auto cont = [&](std::size_t i) { return (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80; };
    while (a < b && cont(a)) ++a;
    while (b > a && b < n && cont(b)) --b;
    return line.substr(a, b - a);
}

// Columns [a, end of line).
inline std::string_view column_from(std::string_view line, std::size_t a) {
    return column(line, a, line.size());
}

// Length in bytes of the white-space character starting at s[i], or 0 if none starts there.
std::size_t whitespace_len_at_slow(std::string_view s, std::size_t i);
inline std::size_t whitespace_len_at(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
    return whitespace_len_at_slow(s, i);
}
// Length in bytes of a white-space character ending at s[end-1], or 0.
std::size_t whitespace_len_before(std::string_view s, std::size_t end);

template <typename F>
void for_each_token(std::string_view s, F&& f) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        std::size_t w;
        while (i < n && (w = whitespace_len_at(s, i)) != 0) i += w;
        if (i >= n) break;
        std::size_t start = i;
        while (i < n && whitespace_len_at(s, i) == 0) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        }
        if (i > n) i = n;
        f(s.substr(start, i - start));
    }
}







}  // namespace tessora
