// Timestamps of the column tables and the observation record's state across format versions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <zlib.h>

#include "cn0/state.hpp"
#include "columns/table.hpp"

namespace tessora {
namespace {

TEST(Columns, CivilNanoseconds) {
    EXPECT_EQ(civil_nanoseconds(1970, 1, 1, 0, 0, 0.0), 0);
    EXPECT_EQ(civil_nanoseconds(1969, 12, 31, 23, 59, 59.5), -500'000'000);
    // 2024-02-29 is a leap day; 2100 is not a leap year (March 1st follows February 28th).
    EXPECT_EQ(*civil_nanoseconds(2024, 3, 1, 0, 0, 0.0) - *civil_nanoseconds(2024, 2, 28, 0, 0, 0.0),
              2 * 86'400'000'000'000);
    EXPECT_EQ(*civil_nanoseconds(2100, 3, 1, 0, 0, 0.0) - *civil_nanoseconds(2100, 2, 28, 0, 0, 0.0),
              86'400'000'000'000);
    // GPS time's origin, and a receiver's 100 ns resolution.
    EXPECT_EQ(civil_nanoseconds(1980, 1, 6, 0, 0, 0.0), 315'964'800'000'000'000);
    EXPECT_EQ(civil_nanoseconds(2020, 6, 25, 0, 0, 59.9999999), 1'593'043'259'999'999'900);
    // Times a 64-bit nanosecond count cannot hold, and damaged fields.
    EXPECT_FALSE(civil_nanoseconds(2300, 1, 1, 0, 0, 0.0));
    EXPECT_FALSE(civil_nanoseconds(2024, 13, 1, 0, 0, 0.0));
    EXPECT_FALSE(civil_nanoseconds(2'000'000'000, 1, 1, 4'000'000'000u, 0, 0.0));
}

TEST(Columns, OlderObservationStatesStillRead) {
    RinexObsData r;
    r.version = 3.04;
    r.time_system = "GAL";
    r.file_name = "x.obs";
    r.receiver_firmware = "5.4.0";
    const std::string current = encode_state(r);
    // An older state is the same record without the trailing texts (each after an 8-byte length)
    // its format lacks: format 3 the firmware, format 1 the time system and the file name too.
    const auto older = [&](std::uint8_t format, std::size_t cut) {
        std::string state = current.substr(0, current.size() - 4 - cut);
        state[5] = static_cast<char>(format);
        const auto crc = static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(state.data()),
                                                          static_cast<uInt>(state.size())));
        state.append(reinterpret_cast<const char*>(&crc), 4);
        return state;
    };
    auto back = decode_observations_state(older(3, 8 + 5));
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back.value().time_system, "GAL");
    EXPECT_EQ(back.value().receiver_firmware, "");
    back = decode_observations_state(older(1, (8 + 5) + (8 + 3) + (8 + 5)));
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back.value().version, 3.04);
    EXPECT_EQ(back.value().time_system, "GPS");
    EXPECT_EQ(back.value().file_name, "");
    EXPECT_FALSE(decode_observations_state(older(3, (8 + 5) + (8 + 3) + (8 + 5))));
    back = decode_observations_state(current);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back.value().receiver_firmware, "5.4.0");
}

}  // namespace
}  // namespace tessora
