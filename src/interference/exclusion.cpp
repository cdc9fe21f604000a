// The epochs left out of learning: those of the events a pass found, and those of events known
// before the run (a stream's earlier windows), which are left out of the series' scales only.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "interference/steps.hpp"

namespace tessora::detector {

namespace {

// Epochs learned without, either side of an event.
constexpr double kExclusionMargin = 600.0;  // s
// Known events are left out of the scales once they hold this share of the epochs.
constexpr double kKnownShare = 0.1;

}  // namespace

void exclude_events(Work& w, const std::vector<FoundEvent>& events) {
    for (const FoundEvent& f : events) {
        const double from = w.seconds[f.first] - kExclusionMargin, to = w.seconds[f.last] + kExclusionMargin;
        for (std::size_t e = 0; e < w.order.size(); ++e)
            if (w.seconds[e] >= from && w.seconds[e] <= to) w.excluded[e] = 1;
    }
}

void mark_known(Work& w, const std::vector<std::pair<std::string, std::string>>& spans) {
    const auto& ts = w.timestamps;
    w.known.assign(w.order.size(), 0);
    std::size_t inside = 0;
    for (const auto& [first, last] : spans)
        inside += static_cast<std::size_t>(std::max<std::ptrdiff_t>(
            std::upper_bound(ts.begin(), ts.end(), last) - std::lower_bound(ts.begin(), ts.end(), first), 0));
    // The scales widen under a block of outliers as it nears a sixth of the values (half the
    // central 68 % range breaks down there, held only by the interquartile range): events that
    // hold less leave them much as they are, as in a whole day.
    if (static_cast<double>(inside) < kKnownShare * static_cast<double>(ts.size())) {
        w.known.clear();
        return;
    }
    for (const auto& [first, last] : spans) {
        // Epoch texts of one recording sort as their times.
        const auto a = std::lower_bound(ts.begin(), ts.end(), first), b = std::upper_bound(ts.begin(), ts.end(), last);
        if (a >= b) continue;
        const double from = w.seconds[static_cast<std::size_t>(a - ts.begin())] - kExclusionMargin;
        const double to = w.seconds[static_cast<std::size_t>(b - ts.begin()) - 1] + kExclusionMargin;
        for (std::size_t e = 0; e < w.order.size(); ++e)
            if (w.seconds[e] >= from && w.seconds[e] <= to) w.known[e] = 1;
    }
    // Known events over more than half of the recording leave too little to measure from.
    std::size_t n = 0;
    for (std::uint8_t x : w.known) n += x;
    if (2 * n > w.known.size()) w.known.clear();
}

}  // namespace tessora::detector
