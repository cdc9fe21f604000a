// The columns of a record as a RINEX 3 file lays them out: the type list of every system (with
// RINEX 2 codes renamed and lists made up for systems that have satellites but none), and where
// each observation of a satellite goes on its line. Built once before writing; whatever the
// record holds that RINEX 3 cannot is found here and refused with a message.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// The RINEX 3 name of a record's observation code, or empty when it has none: three-character
// codes stand as they are, D1, D2 and D5 follow their band's phase (L1C, L2C, L5Q as the reader
// names them). Anything else is empty.
std::string rinex3_code_name(std::string_view code);

// Whether a satellite identifier fits a RINEX 3 line and a CRINEX satellite list: one to three
// printable ASCII characters but "&", the first a system that RINEX 3 announces types for.
bool writable_satellite_name(std::string_view name);

struct SystemColumns {
    char system = 0;
    std::vector<std::string> names;        // the codes as written, in column order
    std::vector<std::int32_t> first;       // per record code: its first column, or -1
    std::vector<std::int32_t> next_same;   // per column: the next column of the same code, or -1
};

struct WritePlan {
    std::vector<SystemColumns> systems;  // in the header's order
    std::array<std::int16_t, 128> index_of{};  // system letter -> index into systems, -1 none
    std::size_t max_columns = 0;

    const SystemColumns* of(std::string_view sat) const {
        const auto c = static_cast<unsigned char>(sat[0]);
        const int i = c < 128 ? index_of[c] : -1;
        return i < 0 ? nullptr : &systems[static_cast<std::size_t>(i)];
    }
    // The column of an observation of code `code` on a line whose previous observation went to
    // column `prev` (-1 at the start): the first column of the code after `prev`, so that a list
    // naming a code twice keeps the satellite's order of observations.
    static std::int32_t column(const SystemColumns& s, std::uint32_t code, std::int32_t prev) {
        std::int32_t c = s.first[code];
        const std::int32_t first = c;
        while (c >= 0 && c <= prev) c = s.next_same[static_cast<std::size_t>(c)];
        return c < 0 ? first : c;
    }
};

Expected<WritePlan> plan_write(const RinexObsData& rec);

}  // namespace tessora
