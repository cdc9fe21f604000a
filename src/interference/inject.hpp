// Synthetic interference on a real recording, for measuring how well a detector finds it.
//
// A wideband jammer raises the noise density of the bands it covers from N0 to N0 + J0, so every
// CN0 there falls by the same dN = 10 log10(1 + J0/N0) dB, whatever the satellite's elevation.
// A signal pushed below the receiver's tracking threshold is lost: the receiver drops the whole
// tracking channel (code, phase, Doppler and CN0 of that signal) from the file. A spoofer instead
// replaces the authentic signals by its own, all received at about the same power, so the CN0
// values flatten to one common level while nothing is lost.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interference/bands.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

enum class InjectionKind : std::uint8_t { jammer, spoofer };

// Time course of a jammer's power within its window.
//  plateau  constant dN = db.
//  pass     a jammer carried past the antenna by a vehicle: its power falls with the inverse
//           square of the distance, J(t) = Jpk / (1 + ((t - tc)/tau)^2), the closest approach tc
//           in the middle of the window, tau an eighth of the window, and dN = db at tc.
//  ramp     dN rises in `steps` equal steps to db over the window.
enum class JammerProfile : std::uint8_t { plateau, pass, ramp };

struct Injection {
    InjectionKind kind = InjectionKind::jammer;
    double start = 0.0, end = 0.0;  // seconds after the record's first epoch, [start, end)
    double db = 0.0;                // jammer: peak CN0 degradation dN in dB
    JammerProfile profile = JammerProfile::plateau;
    std::uint32_t steps = 5;        // ramp: number of equal steps (0 counts as 1)
    std::vector<Band> bands;        // empty = every CN0 observable, of a known band or not
    // Spoofer: common CN0 in dB-Hz; by default the median of the record's CN0 values in the
    // affected bands.
    std::optional<double> level;
    double spread = 0.5;            // spoofer: half-width of the uniform noise added to level (dB)
};

struct InjectionOptions {
    // Tracking threshold in dB-Hz for every signal. By default each (system, code) gets its own:
    // the 0.5th percentile of that code's CN0 values in the record, i.e. about the weakest
    // signal the receiver still held.
    std::optional<double> tracking_threshold;
    std::uint64_t seed = 0;  // spoofer noise (std::mt19937_64)
};

// A new record: `obs` with the injections applied, jammers first, then spoofers in their order.
// Lost signals, then satellites left with nothing, are removed; an epoch left with nothing stays,
// without satellites, as a receiver that tracks nothing still writes its epochs. Everything else
// (header, code tables, satellite names, indicators and the order of epochs, satellites and
// observations) is kept. An injection whose window is not finite, starts before 0 or is empty,
// or a jammer whose db is not a positive number, does nothing. Statistics behind the defaults
// (thresholds, spoofer level) use the CN0 values of the input that a receiver can report
// (0 < value < 100 dB-Hz).
RinexObsData inject_interference(const RinexObsData& obs, const std::vector<Injection>& injections,
                                 const InjectionOptions& options);

// dN in dB of one jammer at time t seconds after the first epoch; 0 outside [start, end), for an
// injection that does nothing, or for a spoofer.
double jammer_degradation(const Injection& j, double t);

}  // namespace tessora
