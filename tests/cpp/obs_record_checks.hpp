// Comparison of an observation record with the record read back from what the writer made of it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "rinex/obs_data.hpp"
#include "rinex/obs_write_plan.hpp"

namespace tessora {

inline std::string code_names(const RinexObsData& r, const ObsTypeList& t, bool renamed = false) {
    std::string s;
    for (auto c : t.codes) s += (renamed ? rinex3_code_name(r.code_names[c]) : r.code_names[c]) + ' ';
    return s;
}

// Everything the record holds, but the version and the file name.
inline void expect_same(const RinexObsData& a, const RinexObsData& b) {
    EXPECT_EQ(a.marker_name, b.marker_name);
    EXPECT_EQ(a.receiver_type, b.receiver_type);
    EXPECT_EQ(a.receiver_firmware, b.receiver_firmware);
    EXPECT_EQ(a.antenna_type, b.antenna_type);
    EXPECT_EQ(a.approx_position, b.approx_position);
    EXPECT_EQ(a.interval, b.interval);
    EXPECT_EQ(a.time_system, b.time_system);
    EXPECT_EQ(a.glonass_slots, b.glonass_slots);
    // The record's lists, then lists of their own for systems that had satellites but none.
    ASSERT_GE(b.obs_types.size(), a.obs_types.size());
    for (std::size_t i = 0; i < a.obs_types.size(); ++i) {
        EXPECT_EQ(a.obs_types[i].system, b.obs_types[i].system);
        EXPECT_EQ(code_names(a, a.obs_types[i], true), code_names(b, b.obs_types[i]));
    }
    for (std::size_t i = a.obs_types.size(); i < b.obs_types.size(); ++i) {
        EXPECT_EQ(a.types_of(b.obs_types[i].system), nullptr);
        bool used = false;
        for (const auto& s : a.satellite_names) used |= !s.empty() && s[0] == b.obs_types[i].system;
        EXPECT_TRUE(used) << b.obs_types[i].system;
    }
    ASSERT_EQ(a.epochs.size(), b.epochs.size());
    for (std::size_t e = 0; e < a.epochs.size(); ++e) {
        const Epoch &ea = a.epochs[e], &eb = b.epochs[e];
        ASSERT_TRUE(ea.time == eb.time) << e;
        ASSERT_EQ(ea.flag, eb.flag) << e;
        ASSERT_EQ(ea.sat_count, eb.sat_count) << e;
        for (std::uint32_t s = 0; s < ea.sat_count; ++s) {
            const SatelliteEntry &sa = a.sat_entries[ea.sat_begin + s], &sb = b.sat_entries[eb.sat_begin + s];
            ASSERT_EQ(a.sat_name(sa), b.sat_name(sb)) << e;
            ASSERT_EQ(sa.obs_count, sb.obs_count) << e << ' ' << a.sat_name(sa);
            for (std::uint32_t k = 0; k < sa.obs_count; ++k) {
                const std::uint32_t i = sa.obs_begin + k, j = sb.obs_begin + k;
                ASSERT_EQ(rinex3_code_name(a.code_name(i)), b.code_name(j));
                ASSERT_EQ(a.obs_values[i], b.obs_values[j]) << e << ' ' << a.sat_name(sa) << ' ' << a.code_name(i);
                ASSERT_EQ(a.obs_indicators[i], b.obs_indicators[j]) << e << ' ' << a.sat_name(sa);
            }
        }
    }
}

}  // namespace tessora
