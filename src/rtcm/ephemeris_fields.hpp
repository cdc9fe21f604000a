// The field tables of the Keplerian ephemeris messages (1019, 1042, 1044, 1045, 1046), shared by
// their decoder and encoder: every field in message order with its width and unit.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "rtcm/messages.hpp"

namespace tessora::rtcm {

inline constexpr double kSemicircle = 3.1415926535898;
inline double p2(int e) { return std::ldexp(1.0, e); }

using Member = double KeplerMessage::*;
enum class Tag : std::uint8_t { value, prn, week, skip };

struct Field {
    Tag tag;
    Member member;
    unsigned bits;
    bool is_signed;
    double scale;  // of one unit; semicircle fields carry the factor pi already
};

// The table of message `type`, or nullptr for another message.
const std::vector<Field>* kepler_fields(int type);
// The system of a Keplerian message number ('G', 'J', 'E', 'C'), or 0.
char kepler_system(int type);

}  // namespace tessora::rtcm
