// Field widths and scales of the Multiple Signal Messages, shared by their decoder and encoder.
#pragma once

#include <cstdint>

namespace tessora::rtcm {

// Field widths and scales of one MSM flavour.
struct MsmLayout {
    bool extended;      // MSM6/7: finer pseudorange and phase, extended lock time, finer CNR
    bool rates;         // MSM5/7: phase-range rates (and extended satellite info)
    unsigned pr_bits, phase_bits, lock_bits, cnr_bits;
    double pr_scale, phase_scale, cnr_scale;  // ms, ms, dB-Hz per unit
};

inline constexpr double kP2_10 = 1.0 / 1024.0;
inline constexpr double kP2_24 = 1.0 / 16777216.0;
inline constexpr double kP2_29 = 1.0 / 536870912.0;
inline constexpr double kP2_31 = 1.0 / 2147483648.0;

constexpr MsmLayout layout_of(int flavour) {
    const bool ext = flavour >= 6;
    return MsmLayout{ext,
                     flavour == 5 || flavour == 7,
                     ext ? 20u : 15u,
                     ext ? 24u : 22u,
                     ext ? 10u : 4u,
                     ext ? 10u : 6u,
                     ext ? kP2_29 : kP2_24,
                     ext ? kP2_31 : kP2_29,
                     ext ? 1.0 / 16.0 : 1.0};
}

// Minimum lock time (ms) of a 4-bit lock-time indicator: 0, then 32 ms doubling per step.
inline double lock_ms_4(unsigned i) { return i == 0 ? 0.0 : static_cast<double>(std::uint64_t{1} << (i + 4)); }

// Minimum lock time (ms) of the 10-bit extended indicator: 1 ms steps up to 63, then blocks of 32
// indicator values whose step doubles from block to block; 704 is the last defined value
// (67108864 ms, about 18.6 hours).
inline double lock_ms_10(unsigned i) {
    if (i < 64) return i;
    if (i > 704) return 67108864.0;
    const unsigned block = (i - 64) / 32;  // 0 for 64..95
    const double step = static_cast<double>(std::uint64_t{2} << block);
    // At the start of each block the time equals step * 32 (64 ms for the block starting at 64).
    const double start_value = step * 32.0;
    return start_value + step * static_cast<double>(i - (64 + 32 * block));
}

// The MSM flavour (4..7) of a message number (1074..1137); other digits give 1..3 or 0.
inline constexpr int msm_flavour(int type) { return (type - 1070) % 10; }

}  // namespace tessora::rtcm
