// What a stream's detector remembers of the windows it judged: the per-epoch noise tails of the
// stretches that have settled, and the templates of the clean windows, over the stream's last day.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interference/report.hpp"

namespace tessora {

// The file detector's thresholds over a window rest on the noise of the stream's last day, as a
// day file's do: a window of three hours holds too few excursions of the evidence, and an event of
// minutes is most of those it holds (a 10 dB pass of four minutes is eight of the nine epochs
// beyond the reference of a quiet window, and would set the tail that is to find it).
class StreamNoise {
public:
    // Seconds (on the window's clock) and text of the last epoch measured; the next stretch
    // begins after it (the text is empty before the first).
    double until_seconds() const { return until_seconds_; }
    const std::string& until_text() const { return until_text_; }
    // A settled stretch ending at `seconds` (`text`), per slot; stretches older than a day before
    // `keep_from` are dropped.
    void add(double seconds, std::string text, std::vector<SlotNoise> slots, double keep_from);
    // The stretches that ended before `first` (a window's first epoch), within a day of it, pooled;
    // empty without any.
    std::vector<SlotNoise> pooled_before(double first) const;

private:
    std::deque<std::pair<double, std::vector<SlotNoise>>> stretches_;
    std::string until_text_;
    double until_seconds_ = -1e300;
};

// A clean window's own template joins those of the stream's last day; the template judged
// against is their combination, as a station store combines its clean days: a template learned
// from the stream's first hours knows the elevations its satellites passed through then, the
// combination those of the whole day.
class StreamTemplates {
public:
    // When the last template was taken (seconds on the window's clock).
    double taken_at() const { return taken_at_; }
    void add(double now, const CN0Template& own);
    const std::optional<CN0Template>& combined() const { return combined_; }

private:
    std::deque<std::pair<double, CN0Template>> clean_;
    std::optional<CN0Template> combined_;
    double taken_at_ = -1e300;
};

}  // namespace tessora
