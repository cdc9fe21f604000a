// The interference detector on a stream: epochs pushed as they arrive, event changes out.
//
// Two judges share the work. The fast one runs at every epoch: each signal against its own level
// of the last minutes, the median drop of each band against that band's own noise, and an alarm
// when a band drops beyond anything its clean history showed, at two epochs running. It raises
// the alarm for a jammer within two epochs. The file detector itself, run again every few minutes
// over a trailing window of the stream (the station's template given or learned from the stream),
// is the authority: it finds the weaker events too, and it gives every event its start, end,
// bands, kind and peak, as it would on the day's file.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "interference/bands.hpp"
#include "interference/report.hpp"
#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

struct LiveOptions {
    DetectorOptions detector;         // the file detector's options (its template, its rate)
    double window_seconds = 3 * 3600; // how far back the file detector looks
    double recheck_seconds = 600;     // how often it runs while all is quiet
    double busy_recheck_seconds = 60; // how often while an event is open or settling
    double settle_seconds = 1800;     // an event that ended this long before the window's end is final
};

// One change of an event: "open", "update" or "close". `confirmed` is false for an alarm of the
// fast judge that the file detector did not find once it could have.
struct LiveChange {
    std::string action;
    InterferenceEvent event;
    bool confirmed = true;
};

// The latest state of one band, for status pages.
struct LiveBand {
    Band band = kNoBand;
    double cn0 = 0.0;          // mean CN0 of the epoch's signals
    double degradation = 0.0;  // the fast judge's median drop (dB)
    std::size_t signals = 0;
};

class CN0Window;

class LiveDetector {
public:
    explicit LiveDetector(LiveOptions options);
    ~LiveDetector();
    LiveDetector(LiveDetector&&) noexcept;
    LiveDetector& operator=(LiveDetector&&) noexcept;

    void set_navigation(std::shared_ptr<const NavigationData> nav);
    // Epochs later than every epoch pushed before; earlier ones are passed over, but for a chunk
    // that begins more than an hour before the last epoch judged: the stream was re-dated (its
    // first ephemeris after the host's clock), and the judging starts again.
    std::vector<LiveChange> push(const RinexObsData& epochs);
    // The stream ended: the file detector judges the window once more and every event still open
    // is closed. `interrupted`: the stream was cut off rather than ended; the closes are the same,
    // and the caller marks them (the monitor's "interrupted" lines).
    std::vector<LiveChange> finish(bool interrupted);

    const std::vector<LiveBand>& bands() const;
    std::size_t epochs() const;
    std::optional<EpochTime> last_epoch() const;
    std::size_t open_events() const;
    // The template the file detector last used or learned (empty before its first run).
    const CN0Template& cn0_template() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace tessora
