// The records of the interference detector: the CN0-against-elevation template of a station,
// the events found in a recording and the report that carries them with the per-band
// degradation series.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessora {

// Width of the template's elevation bins (degrees); bin k covers [k*w, (k+1)*w).
inline constexpr double kTemplateBinWidth = 2.0;
inline constexpr std::size_t kTemplateBins = 45;

// One satellite's level against its signal's curve: satellites of one signal differ by a few dB
// (blocks, transmit power), steadily from day to day.
struct SatelliteOffset {
    std::string satellite;  // "G05", ...
    double db = 0.0;
    std::uint64_t samples = 0;  // samples of learning behind it
};

// Expected CN0 of one signal (constellation + observation code) against elevation.
struct SignalTemplate {
    std::string system;                 // RINEX system letter, "G", "E", ...
    std::string code;                   // CN0 observation code, "S1C", ...
    std::string band;                   // band name, "L1", ...
    std::vector<double> cn0;            // expected CN0 (dB-Hz) at each bin's centre; kTemplateBins values
    std::vector<std::uint64_t> counts;  // samples behind each bin (0: filled in from neighbours)
    double floor = 0.0;                 // the weakest level the receiver holds this signal at (dB-Hz)
    double low_elevation = 0.0;         // below this elevation the signal is seldom tracked (degrees)
    std::vector<SatelliteOffset> offsets;  // ascending satellite; those with enough samples
};

// Expected CN0 at `elevation`, interpolated linearly between bin centres and flat beyond the
// first and last centre.
double template_value(const SignalTemplate& t, double elevation);

struct CN0Template {
    std::string station;     // marker name of the recording it was learned from
    std::string start_time;  // span of the recording it was learned from (epoch texts)
    std::string end_time;
    std::vector<SignalTemplate> signals;  // ascending (system, code)

    const SignalTemplate* find(std::string_view system, std::string_view code) const;
};

struct BandDegradation {
    std::string band;
    double value = 0.0;  // dB
};

struct InterferenceEvent {
    std::string start;      // first epoch of the event (epoch text)
    std::string end;        // last epoch of the event
    std::string peak_time;  // epoch of the largest degradation
    double duration = 0.0;  // seconds from start to end
    double peak_degradation_db = 0.0;             // the largest over the bands
    std::vector<BandDegradation> degradation_db;  // peak per affected band, in band order
    std::vector<std::string> bands;               // affected bands, in band order
    std::vector<std::string> systems;             // constellation names, ascending
    std::vector<std::string> satellites_affected; // ascending
    std::vector<std::string> satellites_lost;     // ascending
    std::string kind;        // "wideband", "band-limited" or "spoofing-like"
    double statistic = 0.0;  // the event's accumulated evidence, in units of its band's noise
};

// The common-mode degradation of one band over the recording.
struct BandSeries {
    std::string band;
    std::vector<double> degradation;    // dB per epoch; NaN where the band had no signal
    std::vector<std::uint32_t> tracked; // signals tracked per epoch
    std::vector<std::uint32_t> lost;    // signals lost per epoch (tracked before, expected now)
    double noise_db = 0.0;              // robust standard deviation of the degradation
    double trigger_sigma = 0.0;         // evidence an event needs: the accumulated standardised degradation
    double threshold_db = 0.0;          // the drop one epoch alone needs, in dB at the band's usual signal count
    std::vector<double> statistic;      // standardised degradation per epoch; NaN where the band had no signal
    // The noise model of the accumulated statistic (excursions of max(0, S + statistic - 1)):
    // `tail_rate` excursions a day pass `tail_level`, exp(-tail_decay (x - tail_level)) as many pass x.
    double tail_level = 0.0, tail_decay = 0.0, tail_rate = 0.0;
};

// The per-epoch tail of one channel of a band's standardised degradation over a stretch of a
// recording: the epochs whose |z| passes the reference - 2, the reference and the reference + 2.
// Where a recording has few excursions of the evidence (a quiet station over a few hours), the
// thresholds rest on this tail; a stream's detector keeps it from the windows it judged before, so
// that an event of minutes, most of the epochs beyond the reference in a window of three hours,
// does not set the tail that is to find it.
struct SlotNoise {
    double near = 0.0, at = 0.0, beyond = 0.0;
};

// A thinned sample of the CN0 values behind a band's templates, for plotting the data cloud.
struct BandCloud {
    std::string band;
    std::vector<double> elevation;
    std::vector<double> cn0;
};

struct InterferenceReport {
    std::string filename;
    std::string station;
    std::optional<double> latitude;   // from the header's approximate position
    std::optional<double> longitude;
    std::string mode;    // "elevation", "baseline", "mixed", or "none" when nothing was analysed
    std::string reason;  // why nothing was analysed; empty otherwise
    std::uint64_t epochs = 0;
    std::uint64_t signals = 0;        // (satellite, code) pairs with CN0
    double trigger_sigma = 0.0;       // the lowest evidence threshold of the bands that open events
    std::optional<double> threshold_db;  // the caller's fixed threshold, when given
    double false_alarms_per_day = 0.0;   // the false-alarm rate the thresholds were set for
    bool spoofing_judged = false;        // whether any band had the elevation pattern spoofing is judged on
    std::vector<std::string> timestamps;  // epoch texts, ascending
    std::vector<BandSeries> series;       // tracked bands, in band order
    std::vector<InterferenceEvent> events;
    CN0Template cn0_template;
    std::vector<BandCloud> clouds;
    // The recording's own template, learned from all of it, when the options asked for it and a
    // given template judged it clean with elevations; a template learned afresh, as a run without
    // the given one would learn it in its first pass.
    std::optional<CN0Template> own_template;
    // The noise of each channel (one per slot) over the stretch the options asked for; empty otherwise.
    std::vector<SlotNoise> noise;
};

// One false event in five hundred clean station-days: a network of a few hundred stations hears
// of noise about once a day.
inline constexpr double kDefaultFalseAlarmsPerDay = 0.002;
inline constexpr double kMaxFalseAlarmsPerDay = 1000.0;

// Detector settings.
struct DetectorOptions {
    double min_elevation = 5.0;
    std::vector<char> systems;  // empty: every constellation of the recording
    std::optional<double> threshold_db;
    const CN0Template* cn0_template = nullptr;  // a stored template of the station, or null
    // False alarms a day on a clean recording that the thresholds are set for.
    double false_alarms_per_day = kDefaultFalseAlarmsPerDay;
    // With a template given, also learn the recording's own template when it is judged clean.
    bool learn_own = false;
    // The station's noise of earlier stretches, per slot, pooled with the recording's own in every
    // threshold (null: the recording's alone); and the stretch of epochs (epoch texts: after the
    // first, up to the second) whose own noise the report is to give.
    const std::vector<SlotNoise>* noise_history = nullptr;
    std::optional<std::pair<std::string, std::string>> noise_span;
    // Events already known in the recording (first and last epoch as text), left out of learning
    // from the first pass on, as the later passes leave out the events found: a stream's window
    // judged again holds the events earlier windows found, and a long one fills enough of a short
    // window to widen its noise and hide itself.
    std::vector<std::pair<std::string, std::string>> known_events;
};

}  // namespace tessora
