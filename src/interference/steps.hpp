// The working records of one detection and the steps that fill them. A detection runs in passes:
// the first learns the expectations from every epoch and finds candidate events, the later ones
// learn them again without those epochs and find the events reported.
#pragma once

#include <array>
#include <cmath>
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
    std::uint32_t offset_samples = 0;  // samples of learning behind the offset (0: a stored one)
};

// One CN0 value: the track, the value and the satellite's elevation (NaN when unknown).
struct Sample {
    std::uint32_t track = 0;
    float cn0 = 0.0f;
    float elevation = 0.0f;
    float expected = 0.0f;  // NaN when no expectation could be formed
    float base = 0.0f;      // the track's own level, for the baseline channel of a mixed band; NaN elsewhere
};

// Every band has a primary channel (expectations from the template where there are elevations,
// else from each satellite's own level) and, where the band mixes constellations with templates
// and constellations without, a baseline channel that sets every signal of the band against its
// own level, as a recording without navigation data would. Each channel is a slot of its own.
inline constexpr std::size_t kChannels = 2;
inline constexpr std::size_t kSlots = kBandCount * kChannels;
inline constexpr std::size_t slot_band(std::size_t slot) { return slot % kBandCount; }
inline constexpr bool is_baseline_slot(std::size_t slot) { return slot >= kBandCount; }

// The rate at which excursions of an accumulated statistic pass a level x: `rate` per second at
// `level`, falling as exp(-decay (x - level)) beyond it.
struct Tail {
    double level = 0.0, decay = 0.0, rate = 0.0;
};

// Per-band statistics of one pass.
struct BandWork {
    std::vector<double> degradation;  // per epoch, NaN without signals
    std::vector<std::uint32_t> tracked, lost;
    std::vector<double> z;            // standardised degradation
    std::vector<double> flat_raw;     // loss of the elevation pattern, in units of its noise
    std::vector<double> flatness;     // the same standardised over the recording (spoofing)
    std::vector<double> spread;       // spread of the measured CN0 across signals against that expected
    std::vector<double> slope;        // regression slope of CN0 on its expectation
    std::vector<std::uint32_t> slope_signals;  // signals behind the slope
    double typical_count = 0.0;
    double centre = 0.0, noise = 0.0;
    double margin = 0.0;  // median of (expected - floor) over the band's signals: their room above the floor
    double trigger = 0.0;                           // the z one epoch alone needs to open an event
    double evidence = 0.0, flat_evidence = 0.0;     // accumulated evidence an event needs (z and flatness)
    Tail tail, flat_tail;                           // the noise model behind those thresholds
    double correlation = 1.0;  // variance of a sum of z over a block against that of independent values
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
    // Ordered epochs of events known before the run (a stream's earlier windows): left out of the
    // series' centres and scales only. Their excursions still count in the noise tail, so a known
    // event is not easier to find again than a new one.
    std::vector<std::uint8_t> known;
    // Whether ordered epoch e is among those the series' centres and scales are measured on.
    bool measured(std::size_t e) const { return !excluded[e] && !(e < known.size() && known[e]); }
    bool second_pass = false;
    std::vector<double> floor;              // per signal: the weakest level the receiver holds it at
    std::vector<double> low_elevation;      // per signal: below this it is seldom tracked (NaN: unknown)
    CN0Template templ;
    const CN0Template* given = nullptr;
    std::array<BandWork, kSlots> bands;      // by slot: the primary channels, then the baseline ones
    std::array<bool, kBandCount> mixed{};    // bands that have a baseline channel
    double false_alarms_per_day = 0.0;
    // (ordered epoch, track) of every signal counted as lost, ascending.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lost;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lost_base;  // the same in the baseline channel
    double trigger = 0.0;  // the lowest evidence threshold of any slot

    float elevation(std::size_t e, std::uint32_t sat) const { return sat_elevation[e * nsat + sat]; }
};

// Orders the epochs, computes the satellites' elevations and collects the CN0 samples.
void collect_samples(Work& w, const NavigationData* nav, const std::vector<char>& systems);

// Learns the template curves (unless given) and each track's offset, from the epochs not excluded
// (`offsets` false: the curves alone, the offsets left as the curves' second fit needed them).
void learn_template(Work& w, bool offsets = true);

// Sets every sample's expected CN0: from the template where its elevation is known, else from
// the track's own level around that time; and, in the bands with a baseline channel, every
// sample's own level as well.
void form_expectations(Work& w);

// The per-band degradation series and the elevation-pattern statistic.
void measure_degradation(Work& w);
// Their noise and standardised forms, over the epochs not excluded.
void standardise_bands(Work& w);

// The accumulated evidence of a standardised statistic: a one-sided CUSUM, S = max(0, S + z - k).
// k, in units of the statistic's noise: the multipath and template errors that wander over tens of
// minutes at a sigma or two never add up, a drop of a few sigma held for minutes does.
inline constexpr double kReference = 3.0;

// An event needs this many epochs above the reference: one epoch alone is a spike of the
// statistic (a receiver's glitch), never interference. The noise model still counts the spikes:
// the tail they make is heavier than the multi-epoch excursions' alone would show.
inline constexpr std::size_t kMinEventEpochs = 2;

// One stretch of epochs where the evidence grew: [first, last], the largest evidence reached.
struct Segment {
    std::size_t first = 0, last = 0;
    double evidence = 0.0;
};

// Largest evidence of every excursion of the CUSUM of `sign` * z (an excursion runs while the sum
// stays above zero), leaving out the epochs with `skip` set; and the seconds of data it covered.
std::vector<double> excursion_maxima(const Work& w, const std::vector<double>& z, double sign,
                                     const std::vector<std::uint8_t>* skip, double& seconds);
// The excursion rate model fitted to the largest maxima. With few excursions they are single
// epochs passing the reference, and their tail is that of the statistic: `epoch_decay`.
// `pooled_decay` (0: none) caps the decay: the tail shape of all the recording's bands together.
Tail fit_tail(std::vector<double> maxima, double seconds, double epoch_decay, double pooled_decay);
// The decay of the excesses of every slot's largest excursion maxima (both sides) over the quarter
// of them, pooled: a day gives one band too few excursions to measure how heavy its tail is.
double pooled_tail_decay(const std::vector<std::vector<double>>& maxima_per_slot);
// Adds to `into` the epochs of [from, to] without `skip` whose |z| passes the reference - 2, the
// reference and the reference + 2.
void count_epoch_tail(const std::vector<double>& z, const std::vector<std::uint8_t>* skip, std::size_t from,
                      std::size_t to, SlotNoise& into);
// How fast the per-epoch tail of |z| falls beyond the reference (per unit of z), from those
// counts; the decay of normal noise when too few values pass.
double epoch_tail_decay(const SlotNoise& counts);
// The level whose excursions the tail expects at `per_day` a day.
double level_for_rate(const Tail& t, double per_day);

// Stretches where the evidence passes `threshold`: each ends at its largest evidence, once the
// evidence has fallen back by the threshold (or to zero), and the sum starts again after it.
// The leading and trailing epochs that add little are trimmed off.
std::vector<Segment> evidence_segments(const Work& w, const std::vector<double>& z, double threshold);

// The standardised mean of z over [first, last], against its noise for sums of that length.
double span_score(const BandWork& bw, std::size_t first, std::size_t last);
// Sets `correlation` of the slot from block sums of z over the epochs of learning.
void measure_correlation(const Work& w, BandWork& bw);

// An event with the ordered epochs it spans.
struct FoundEvent {
    std::size_t first = 0, last = 0;
    InterferenceEvent event;
};

// The events of the current pass, in time order.
std::vector<FoundEvent> find_events(const Work& w, const std::optional<double>& threshold_db);

// Marks the ordered epochs inside the events, widened by a margin, as excluded from learning.
void exclude_events(Work& w, const std::vector<FoundEvent>& events);
// Marks the ordered epochs of spans given as their first and last epoch's text, widened by the
// same margin, as known events.
void mark_known(Work& w, const std::vector<std::pair<std::string, std::string>>& spans);

}  // namespace tessora::detector
