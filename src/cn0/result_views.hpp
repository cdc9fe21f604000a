// Views of a finished result that the record does not store but its users read.
#pragma once

#include <vector>

#include "cn0/result.hpp"

namespace tessora {

// Population standard deviation of the time series' mean CN0 values (sums in list order); 0 for
// an empty series.
double timeseries_cn0_std_dev(const AnalysisResult& r);

// Hours of each time-series entry from the first: i * interval / 3600 with a nominal interval;
// from the epoch times themselves for files without a usable INTERVAL record (NaN where a time
// does not read).
std::vector<double> timeseries_hours(const AnalysisResult& r);

}  // namespace tessora
