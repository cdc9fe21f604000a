// A Unix compress (.Z) writer for tests and fuzzing: adaptive LZW with the writer's grouping of
// codes (eight codes a group, a group padded out whenever the code width changes or the table is
// cleared). `clear_when_full` makes a block-mode writer clear the table each time it fills, which
// real writers do when the compression ratio drops.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tessora::test_support {

inline std::string lzw_encode(std::string_view data, unsigned max_bits = 16, bool block_mode = true,
                              bool clear_when_full = true) {
    std::string out;
    out += static_cast<char>(0x1f);
    out += static_cast<char>(0x9d);
    out += static_cast<char>(max_bits | (block_mode ? 0x80 : 0));
    const std::uint32_t max_max_code = std::uint32_t{1} << max_bits;
    unsigned bits = 9;
    std::uint32_t max_code = (1u << bits) - 1;
    std::uint32_t free_ent = block_mode ? 257 : 256;
    bool clear_flag = false;
    std::string group;         // the current group, bits bytes when full
    std::uint64_t offset = 0;  // bits used in the group

    const auto flush_group = [&](std::size_t bytes) {
        group.resize(bits, '\0');
        out.append(group.data(), bytes);
        group.assign(bits, '\0');
        offset = 0;
    };
    group.assign(bits, '\0');
    const auto output = [&](std::uint32_t code) {
        for (unsigned i = 0; i < bits; ++i, ++offset)
            if (code >> i & 1) group[offset / 8] = static_cast<char>(group[offset / 8] | (1 << (offset % 8)));
        if (offset == std::uint64_t{bits} * 8) flush_group(bits);
        if (free_ent > max_code || clear_flag) {
            if (offset > 0) flush_group(bits);
            if (clear_flag) {
                bits = 9;
                max_code = (1u << bits) - 1;
                clear_flag = false;
            } else {
                ++bits;
                max_code = bits == max_bits ? max_max_code : (1u << bits) - 1;
            }
            group.assign(bits, '\0');
        }
    };

    if (data.empty()) return out;
    std::unordered_map<std::uint32_t, std::uint32_t> table;  // (prefix code << 8 | byte) -> code
    std::uint32_t ent = static_cast<unsigned char>(data[0]);
    for (std::size_t i = 1; i < data.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        const std::uint32_t key = ent << 8 | c;
        if (auto it = table.find(key); it != table.end()) {
            ent = it->second;
            continue;
        }
        output(ent);
        if (free_ent < max_max_code) {
            table.emplace(key, free_ent++);
        } else if (block_mode && clear_when_full) {
            table.clear();
            free_ent = 257;
            clear_flag = true;
            output(256);
        }
        ent = c;
    }
    output(ent);
    if (offset > 0) {
        const std::size_t bytes = static_cast<std::size_t>((offset + 7) / 8);
        out.append(group.data(), bytes);
    }
    return out;
}

}  // namespace tessora::test_support
