// A station set-up's template combined from the templates of its clean days.
#pragma once

#include <string>
#include <vector>

#include "interference/report.hpp"

namespace tessora {

// Bins with at least this many samples carry a day's own median (the detector fills the others
// from their neighbours).
inline constexpr std::uint64_t kCombineBinSamples = 5;

// Per signal (system, code) and elevation bin, the median of the days' values weighted by their
// sample counts, over the days whose bin had kCombineBinSamples or more; a bin no day filled takes
// the plain median of the days' filled-in values. Counts are summed; a signal's floor and low
// elevation are the plain medians over the days that have it, its band the first day's. Signals
// in ascending (system, code); start and end span the days' non-empty ones. A weighted median is
// the smallest value whose cumulative weight reaches half the total, or the mean of it and the
// next when it reaches exactly half. One day alone gives its own curves back.
CN0Template combine_templates(const std::vector<const CN0Template*>& days, std::string station);

}  // namespace tessora
