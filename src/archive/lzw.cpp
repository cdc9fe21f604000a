// Unix compress (.Z): adaptive LZW.
//
// Layout: 1f 9d, a flag byte (bits 0-4: the largest code width, 9 to 16; bit 7: block mode, in
// which code 256 clears the table), then codes packed least significant bit first. Codes start 9
// bits wide and widen by one whenever the next table entry would not fit. The writer emits codes
// in groups of eight, so a group is as many bytes as the code width; when the width changes (or
// the table is cleared) it pads the current group to its full size, and the reader must skip to
// the end of that group as well.
#include <vector>

#include "archive/decoders.hpp"

namespace tessora {

Expected<Buffer> uncompress_lzw(std::string_view in, std::uint64_t limit) {
    Buffer out;
    if (DecodeError e = uncompress_lzw_into(in, limit, out)) return Expected<Buffer>::failure(std::move(*e));
    out.shrink_to_fit();
    return out;
}

DecodeError uncompress_lzw_into(std::string_view in, std::uint64_t limit, Buffer& out) {
    constexpr std::string_view kName = "compress (.Z)";
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const std::uint64_t n = in.size();
    if (n < 3) return decode_error(kName, "truncated header", n);
    const unsigned flags = s[2];
    const unsigned max_bits = flags & 0x1f;
    const bool block_mode = (flags & 0x80) != 0;
    if (flags & 0x60) return decode_error(kName, "unknown header flags", 2);
    if (max_bits < 9 || max_bits > 16) return decode_error(kName, "unsupported largest code width", 2);

    constexpr unsigned kClear = 256;
    const std::uint32_t max_max_code = std::uint32_t{1} << max_bits;
    std::vector<std::uint16_t> prefix(max_max_code);
    std::vector<std::uint8_t> suffix(max_max_code);
    std::vector<std::uint8_t> stack(max_max_code + 1);

    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(std::uint64_t{3} * n + 65536, limit + 1)));

    unsigned bits = 9;
    std::uint32_t max_code = (1u << bits) - 1;
    std::uint32_t free_ent = block_mode ? 257 : 256;
    const std::uint64_t total_bits = n * 8;
    std::uint64_t pos = 24;    // bit position of the next code
    std::uint64_t group0 = 24; // where the groups of the current width began
    int old_code = -1;
    std::uint8_t fin_char = 0;

    // Skips to the end of the current group of eight codes.
    const auto end_group = [&] {
        const std::uint64_t g = std::uint64_t{bits} * 8;
        const std::uint64_t used = pos - group0;
        pos = group0 + (used + g - 1) / g * g;
        group0 = pos;
    };
    const auto offset_of = [](std::uint64_t bit) { return bit / 8; };

    for (;;) {
        if (free_ent > max_code) {
            // As the writers do: a 9-bit maximum still widens once, to 10-bit codes, when the
            // table fills, since only a widening to the maximum width lifts the limit.
            end_group();
            ++bits;
            max_code = bits == max_bits ? max_max_code : (1u << bits) - 1;
        }
        if (pos > total_bits || total_bits - pos < bits) break;
        // Read `bits` bits from pos, least significant first (a code spans at most three bytes).
        const std::uint64_t byte = pos >> 3;
        std::uint32_t w = s[byte];
        if (byte + 1 < n) w |= std::uint32_t{s[byte + 1]} << 8;
        if (byte + 2 < n) w |= std::uint32_t{s[byte + 2]} << 16;
        std::uint32_t code = (w >> (pos & 7)) & ((1u << bits) - 1);
        const std::uint64_t code_pos = pos;
        pos += bits;

        if (old_code < 0) {
            if (code >= 256) return decode_error(kName, "corrupt data (the first code is not a literal)", offset_of(code_pos));
            fin_char = static_cast<std::uint8_t>(code);
            old_code = static_cast<int>(code);
            out.reserve_more(1);
            out.push_back(static_cast<char>(fin_char));
            if (out.size() > limit) return expand_limit_error(kName, limit, offset_of(pos));
            continue;
        }
        if (code == kClear && block_mode) {
            end_group();
            bits = 9;
            max_code = (1u << bits) - 1;
            free_ent = 257;
            old_code = -1;
            continue;
        }
        const std::uint32_t in_code = code;
        std::size_t sp = 0;
        if (code >= free_ent) {
            // The one code the reader cannot know yet: the previous string plus its own first byte.
            if (code > free_ent) return decode_error(kName, "corrupt data (a code beyond the table)", offset_of(code_pos));
            stack[sp++] = fin_char;
            code = static_cast<std::uint32_t>(old_code);
        }
        while (code >= 256) {  // every entry's prefix is an earlier code, so this ends
            stack[sp++] = suffix[code];
            code = prefix[code];
        }
        fin_char = static_cast<std::uint8_t>(code);
        stack[sp++] = fin_char;
        if (out.size() + sp > limit) return expand_limit_error(kName, limit, offset_of(pos));
        out.reserve_more(sp);
        char* w_out = out.tail();
        for (std::size_t i = 0; i < sp; ++i) w_out[i] = static_cast<char>(stack[sp - 1 - i]);
        out.commit(sp);
        if (free_ent < max_max_code) {
            prefix[free_ent] = static_cast<std::uint16_t>(old_code);
            suffix[free_ent] = fin_char;
            ++free_ent;
        }
        old_code = static_cast<int>(in_code);
    }
    // The writer pads only the last byte; eight or more bits left over mean the stream was cut.
    if (pos < total_bits && total_bits - pos >= 8)
        return decode_error(kName, "truncated stream: the data end inside a code", n);
    return std::nullopt;
}

}  // namespace tessora
