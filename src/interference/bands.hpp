// Frequency bands of GNSS signals. A jammer acts on a band of the spectrum, so the detector
// groups every CN0 observable by the carrier it is tracked on, whatever the constellation:
// GPS L1, Galileo E1, BeiDou B1C, QZSS L1 and SBAS L1 all sit at 1575.42 MHz and fall together.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessora {

// Band indices, in ascending order of their display position (by carrier, high to low).
enum class Band : std::uint8_t {
    S,    // IRNSS/NavIC S band, 2492.028 MHz
    G1,   // GLONASS G1 FDMA (1602 MHz) and its CDMA L1OC neighbour (1600.995 MHz)
    L1,   // 1575.42 MHz: GPS L1, Galileo E1, BeiDou B1C, QZSS L1, SBAS L1
    B1I,  // BeiDou B1I, 1561.098 MHz
    E6,   // Galileo E6 and QZSS L6 (1278.75 MHz), BeiDou B3I (1268.52 MHz)
    G2,   // GLONASS G2 FDMA (1246 MHz) and L2OC (1248.06 MHz)
    L2,   // GPS and QZSS L2, 1227.60 MHz
    E5b,  // Galileo E5b and BeiDou B2I/B2b, 1207.14 MHz
    G3,   // GLONASS G3, 1202.025 MHz
    E5,   // Galileo E5 AltBOC and BeiDou B2a+b, 1191.795 MHz
    L5,   // 1176.45 MHz: GPS L5, Galileo E5a, BeiDou B2a, QZSS L5, SBAS L5, NavIC L5
    count
};

inline constexpr std::size_t kBandCount = static_cast<std::size_t>(Band::count);
inline constexpr Band kNoBand = Band::count;

inline constexpr std::string_view kBandNames[kBandCount] = {"S",  "G1", "L1",  "B1I", "E6", "G2",
                                                            "L2", "E5b", "G3", "E5",  "L5"};

inline std::string_view band_name(Band b) {
    return b == kNoBand ? std::string_view("?") : kBandNames[static_cast<std::size_t>(b)];
}

// The band of an observation code ("S1C", "C5Q", ...: type letter, frequency digit, tracking
// attribute) of constellation `system`; kNoBand when the pair names no known carrier.
// BeiDou's "1" digit stood for B1I in files before RINEX 3.03 (attributes I, Q, X); B1C uses
// D, P, X and Z. X is read as B1C, its meaning from 3.03 on, unless `version` is older.
inline Band band_of(char system, std::string_view code, double version = 3.04) {
    if (code.size() < 2) return kNoBand;
    const char f = code[1];
    const char attr = code.size() >= 3 ? code[2] : ' ';
    switch (system) {
        case 'G':
        case 'J':
            if (f == '1') return Band::L1;
            if (f == '2') return Band::L2;
            if (f == '5') return Band::L5;
            if (f == '6' && system == 'J') return Band::E6;
            return kNoBand;
        case 'S':
            if (f == '1') return Band::L1;
            if (f == '5') return Band::L5;
            return kNoBand;
        case 'E':
            if (f == '1') return Band::L1;
            if (f == '5') return Band::L5;
            if (f == '7') return Band::E5b;
            if (f == '8') return Band::E5;
            if (f == '6') return Band::E6;
            return kNoBand;
        case 'C':
            if (f == '1') {
                if (attr == 'I' || attr == 'Q') return Band::B1I;
                if (attr == 'X' && version < 3.03) return Band::B1I;
                return Band::L1;
            }
            if (f == '2') return Band::B1I;
            if (f == '5') return Band::L5;
            if (f == '7') return Band::E5b;
            if (f == '8') return Band::E5;
            if (f == '6') return Band::E6;
            return kNoBand;
        case 'R':
            if (f == '1' || f == '4') return Band::G1;
            if (f == '2' || f == '6') return Band::G2;
            if (f == '3') return Band::G3;
            return kNoBand;
        case 'I':
            if (f == '5') return Band::L5;
            if (f == '9') return Band::S;
            return kNoBand;
        default: return kNoBand;
    }
}

}  // namespace tessora
