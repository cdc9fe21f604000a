// The working records of one detection and the steps that fill them. A detection runs in two
// passes: the first learns the expectations from every epoch and finds candidate events, the
// second learns them again without those epochs and finds the events reported.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interference/bands.hpp"
#include "interference/report.hpp"
#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"

namespace tessora::detector {

// One CN0 observable of one constellation.
struct Signal {
    char system = 0;
    std::uint32_t code = 0;  // index into the record's code_names
    Band band = kNoBand;
    std::int32_t template_index = -1;  // into Work::templ.signals, -1 when it has no curve
};

// One signal of one satellite.
struct Track {
    std::uint32_t sat = 0;     // index into the record's satellite_names
    std::uint32_t signal = 0;  // index into Work::signals
    float offset = 0.0f;       // the satellite's level against the template curve (dB)
};

// One CN0 value: the track, the value and the satellite's elevation (NaN when unknown).
struct Sample {
    std::uint32_t track = 0;
    float cn0 = 0.0f;
    float elevation = 0.0f;
    float expected = 0.0f;  // NaN when no expectation could be formed
};

// Per-band statistics of one pass.
struct BandWork {
    std::vector<double> degradation;  // per epoch, NaN without signals
    std::vector<std::uint32_t> tracked, lost;
    std::vector<double> z;            // standardised degradation
    std::vector<double> flat_raw;     // loss of the elevation pattern, in units of its noise
    std::vector<double> flatness;     // the same standardised over the recording (spoofing)
    std::vector<double> slope;        // regression slope of CN0 on its expectation
    double typical_count = 0.0;
    double centre = 0.0, noise = 0.0;
    double margin = 0.0;  // median of (expected - floor) over the band's signals: their room above the floor
    double trigger = 0.0, release = 0.0;            // levels of z
    double flat_trigger = 0.0, flat_release = 0.0;  // levels of flatness
    bool present = false;
    std::size_t shared_epochs = 0;  // epochs at which two constellations or more had their own median
    bool triggers = true;           // runs of this band may open an event (others may only join one)
};

struct Work {
    const RinexObsData* obs = nullptr;
    double min_elevation = 5.0;
    std::vector<std::uint32_t> order;  // epoch indices in time order
    std::vector<double> seconds;       // seconds of each ordered epoch after the first
    std::vector<std::string> timestamps;
    std::vector<Signal> signals;
    std::vector<Track> tracks;
    std::vector<Sample> samples;            // by ordered epoch, then file order
    std::vector<std::uint32_t> epoch_begin; // ordered epoch -> first sample; one more entry at the end
    std::vector<float> sat_elevation;       // ordered epoch x record satellite; NaN when unknown
    std::size_t nsat = 0;
    std::vector<std::uint8_t> excluded;     // ordered epochs left out of learning (events of pass 1)
    bool second_pass = false;
    std::vector<double> floor;              // per signal: the weakest level the receiver holds it at
    std::vector<double> low_elevation;      // per signal: below this it is seldom tracked (NaN: unknown)
    CN0Template templ;
    const CN0Template* given = nullptr;
    std::array<BandWork, kBandCount> bands;
    // (ordered epoch, track) of every signal counted as lost, ascending.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lost;
    double trigger = 0.0;  // the normal-noise trigger level, the lowest any band uses

    float elevation(std::size_t e, std::uint32_t sat) const { return sat_elevation[e * nsat + sat]; }
};

// Orders the epochs, computes the satellites' elevations and collects the CN0 samples.
void collect_samples(Work& w, const NavigationData* nav, const std::vector<char>& systems);

// Learns the template curves (unless given) and each track's offset, from the epochs not excluded.
void learn_template(Work& w);

// Sets every sample's expected CN0: from the template where its elevation is known, else from
// the track's own level around that time.
void form_expectations(Work& w);

// The per-band degradation series and the elevation-pattern statistic.
void measure_degradation(Work& w);
// Their noise and standardised forms, over the epochs not excluded.
void standardise_bands(Work& w);

// An event with the ordered epochs it spans.
struct FoundEvent {
    std::size_t first = 0, last = 0;
    InterferenceEvent event;
};

// The events of the current pass, in time order.
std::vector<FoundEvent> find_events(const Work& w, const std::optional<double>& threshold_db);

// Marks the ordered epochs inside the events, widened by a margin, as excluded from learning.
void exclude_events(Work& w, const std::vector<FoundEvent>& events);

}  // namespace tessora::detector
