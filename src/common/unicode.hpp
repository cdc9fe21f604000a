// Unicode character properties the readers need: the Alphabetic property and full upper-casing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessora {

// Decodes the UTF-8 character at s[i] (s must be valid UTF-8); returns its length in bytes.
std::size_t decode_utf8_char(std::string_view s, std::size_t i, std::uint32_t& cp);
void append_utf8_char(std::string& out, std::uint32_t cp);

bool is_alphabetic(std::uint32_t cp);

// True when the first character of `s` is alphabetic (an ASCII letter or a non-ASCII
// alphabetic character).
bool starts_with_letter(std::string_view s);

// Full Unicode upper-casing (ß becomes SS); text must be valid UTF-8.
std::string to_upper_unicode(std::string_view s);

}  // namespace tessora
