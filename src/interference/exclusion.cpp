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

// Marks the ordered epochs from `from` to `to` seconds, widened by the margin.
void mark(const Work& w, double from, double to, std::vector<std::uint8_t>& mask) {
    for (std::size_t e = 0; e < w.order.size(); ++e)
        if (w.seconds[e] >= from - kExclusionMargin && w.seconds[e] <= to + kExclusionMargin) mask[e] = 1;
}

}  // namespace

void exclude_events(Work& w, const std::vector<FoundEvent>& events) {
    for (const FoundEvent& f : events) mark(w, w.seconds[f.first], w.seconds[f.last], w.excluded);
}

void mark_known(Work& w, const std::vector<std::pair<std::string, std::string>>& spans) {
    // Each span's ordered epochs [first, end); epoch texts of one recording sort as their times.
    const auto& ts = w.timestamps;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::size_t inside = 0;
    for (const auto& [first, last] : spans) {
        const auto a = static_cast<std::size_t>(std::lower_bound(ts.begin(), ts.end(), first) - ts.begin());
        const auto b = static_cast<std::size_t>(std::upper_bound(ts.begin(), ts.end(), last) - ts.begin());
        if (a >= b) continue;
        ranges.emplace_back(a, b);
        inside += b - a;
    }
    w.known.clear();
    // The scales widen under a block of outliers as it nears a sixth of the values (half the
    // central 68 % range breaks down there, held only by the interquartile range): events that
    // hold less leave them much as they are, as in a whole day.
    if (static_cast<double>(inside) < kKnownShare * static_cast<double>(ts.size())) return;
    w.known.assign(w.order.size(), 0);
    for (const auto& [a, b] : ranges) mark(w, w.seconds[a], w.seconds[b - 1], w.known);
    // Known events over more than half of the recording leave too little to measure from.
    std::size_t n = 0;
    for (std::uint8_t x : w.known) n += x;
    if (2 * n > w.known.size()) w.known.clear();
}

}  // namespace tessora::detector
