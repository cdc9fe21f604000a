// Records as RTCM 3 streams: an observation record (and its broadcast ephemerides) written as the
// messages a reference station would send, epoch after epoch.
//
// Every epoch becomes one MSM4 or MSM7 message per system (more when a system's satellites and
// signals exceed the 64 cells a message holds), chained by the multiple-message bit. The station
// position (1005) and the antenna and receiver descriptors (1033) go out with the first epoch and
// again every `station_every` seconds; each broadcast ephemeris goes out from two hours before its
// reference time, and the current one of every satellite again every `ephemeris_every` seconds,
// so that a client joining the stream late soon has everything.
//
// What RTCM 3 cannot carry is left out: signals without an MSM signal number, satellites beyond
// the message's 64, epochs with event flags. Signal strength keeps the message's resolution (1/16
// dB-Hz in MSM7, 1 dB-Hz in MSM4). A carrier phase that lies too far from its pseudorange for the
// message's fields is shifted by whole cycles, and the shift counts as a loss of lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"
#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"
#include "rtcm/messages.hpp"

namespace tessora::rtcm {

struct EncodeOptions {
    int msm = 7;                       // 4 or 7
    int station_id = 0;                // 0..4095
    std::optional<double> from, until; // GPS seconds; epochs outside are left out
    double station_every = 30.0;       // s of stream time between repeats of 1005/1033
    double ephemeris_every = 300.0;    // s between repeats of a satellite's current ephemeris
};

struct EncodedEpoch {
    double gps_seconds = 0.0;  // the epoch's GPS time
    EpochTime time;            // the record's epoch time
    std::string bytes;         // frames: station and ephemeris messages first, then observations
};

// The record as a stream; an error names an option out of range.
Expected<std::vector<EncodedEpoch>> encode_rtcm3(const RinexObsData& rec, const NavigationData* nav,
                                                 const EncodeOptions& options);

// --- messages ------------------------------------------------------------------------------
// Payloads (without framing) of one system's cells of one epoch, as MSM `flavour` (4 or 7): one
// message, or several when the cells exceed 64. `m.more` is the multiple-message bit of the last;
// the others carry it set. Cells with a satellite or signal the message cannot number are dropped.
std::vector<std::string> encode_msm(const ObsMessage& m, int flavour);

// 1005: the antenna reference point (ECEF, m).
std::string encode_1005(int station, const std::array<double, 3>& arp);
// 1033: antenna and receiver descriptors (ASCII, at most 31 characters each are kept).
std::string encode_1033(int station, std::string_view antenna, std::string_view receiver, std::string_view firmware);

// 1019, 1042, 1044, 1045 or 1046 (by the message's system, 1046 for Galileo), and 1020.
std::string encode_kepler(const KeplerMessage& m);
std::string encode_glonass(const GlonassMessage& m);
// The messages of navigation records (RINEX units and time scales).
KeplerMessage kepler_message(const KeplerEphemeris& k);
GlonassMessage glonass_message(const GlonassEphemeris& g);

// The MSM number of a RINEX satellite identifier (1..64), or 0 when the messages cannot number it.
unsigned msm_satellite_number(std::string_view sat);
// The MSM signal number (1..32) of a RINEX 3 band and attribute ("1C"), or 0.
unsigned msm_signal_id(char system, std::string_view code);

}  // namespace tessora::rtcm
