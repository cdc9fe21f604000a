// The constellations and their names. The views of an analysis name them differently, and each
// use has its own name here:
//  - statistics: points, per-satellite and per-constellation statistics and the visibility
//    comparison name GPS, GLONASS, Galileo, QZSS, BeiDou and SBAS; IRNSS and any other letter are
//    "Unknown";
//  - observed: the list of observed systems names IRNSS too, and writes any other system
//    character as it stands;
//  - trace: skyplot traces name only the four global constellations; the rest are "Other".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessora {

enum class Constellation : std::uint8_t { gps, glonass, galileo, qzss, beidou, irnss, sbas, other };

// The constellation of a system letter (the first character of a satellite identifier).
constexpr Constellation constellation_of(char letter) {
    switch (letter) {
        case 'G': return Constellation::gps;
        case 'R': return Constellation::glonass;
        case 'E': return Constellation::galileo;
        case 'J': return Constellation::qzss;
        case 'C': return Constellation::beidou;
        case 'I': return Constellation::irnss;
        case 'S': return Constellation::sbas;
        default: return Constellation::other;
    }
}

// Of a satellite identifier: its first character; an empty identifier has none ("Unknown").
inline Constellation constellation_of_satellite(std::string_view sat) {
    return sat.empty() ? Constellation::other : constellation_of(sat[0]);
}

struct ConstellationNames {
    const char* statistics;
    const char* observed;  // nullptr: the system character itself
    const char* trace;
    std::uint64_t default_expected;  // satellites expected when no prediction says otherwise
};

inline constexpr ConstellationNames kConstellationNames[] = {
    {"GPS", "GPS", "GPS", 12},          {"GLONASS", "GLONASS", "GLONASS", 9}, {"Galileo", "Galileo", "Galileo", 10},
    {"QZSS", "QZSS", "Other", 4},       {"BeiDou", "BeiDou", "BeiDou", 15},  {"Unknown", "IRNSS", "Other", 7},
    {"SBAS", "SBAS", "Other", 3},       {"Unknown", nullptr, "Other", 10},
};

constexpr const ConstellationNames& names_of(Constellation c) { return kConstellationNames[static_cast<int>(c)]; }
constexpr const char* statistics_name(Constellation c) { return names_of(c).statistics; }
constexpr const char* trace_name(Constellation c) { return names_of(c).trace; }

// Name of a system (the whole first character of an identifier, one or more bytes) in the list
// of observed systems.
inline std::string observed_name(std::string_view system) {
    if (system.size() == 1)
        if (const char* n = names_of(constellation_of(system[0])).observed) return n;
    return std::string(system);
}

// Satellites a constellation, given by its statistics name, is expected to show when no
// prediction says otherwise; 10 for a name of no constellation ("Unknown" among them).
inline std::uint64_t default_satellites_expected(std::string_view statistics) {
    for (const auto& n : kConstellationNames)
        if (n.observed && statistics == n.observed) return n.default_expected;
    return 10;
}

}  // namespace tessora
