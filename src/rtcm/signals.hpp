// GNSS systems of the RTCM 3 observation messages: satellite identifiers, the RINEX 3
// observation code of every MSM signal, and carrier frequencies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessora::rtcm {

inline constexpr double kSpeedOfLight = 299792458.0;   // m/s
inline constexpr double kMetresPerMs = 299792.458;     // one millisecond of light travel
inline constexpr int kNoChannel = -128;                // GLONASS frequency channel unknown

// The system letter of an MSM message (1071..1137), or 0 for other message numbers.
char msm_system(int type);

// The RINEX 3 band and attribute ("1C", "5Q", ...) of MSM signal `id` (1..32) of `system`;
// nullptr for a signal the system does not define.
const char* msm_signal_code(char system, unsigned id);

// RINEX satellite identifier of MSM satellite `id` (1..64) of `system`: "G05", "S23" for SBAS
// PRN 123 (the MSM number 1 is PRN 120), "J02" for QZSS PRN 194 (MSM number 1 is PRN 193).
std::string satellite_id(char system, unsigned number);

// Carrier frequency (Hz) of band digit `band` ('1', '2', ...) of `system`; GLONASS FDMA bands need
// the satellite's frequency channel (-7..+6). nullopt when unknown.
std::optional<double> carrier_hz(char system, char band, int glonass_channel);

}  // namespace tessora::rtcm
