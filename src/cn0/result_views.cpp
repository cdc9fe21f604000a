#include "cn0/result_views.hpp"

#include <cmath>

#include "rinex/epoch_time.hpp"

namespace tessora {

double timeseries_cn0_std_dev(const AnalysisResult& r) {
    const auto& x = r.timeseries.mean_cn0;
    if (x.empty()) return 0.0;
    const double n = static_cast<double>(x.size());
    double sum = 0.0;
    for (double v : x) sum += v;
    const double m = sum / n;
    double sq = 0.0;
    for (double v : x) sq += (v - m) * (v - m);
    return std::sqrt(sq / n);
}

std::vector<double> timeseries_hours(const AnalysisResult& r) {
    const auto& ts = r.timeseries.timestamps;
    std::vector<double> hours(ts.size());
    const double interval = r.file_info.interval;
    if (std::isfinite(interval) && interval > 0.0) {
        for (std::size_t i = 0; i < ts.size(); ++i) hours[i] = static_cast<double>(i) * interval / 3600.0;
        return hours;
    }
    if (ts.empty()) return hours;
    const auto first = parse_epoch_text(ts[0]);
    for (std::size_t i = 0; i < ts.size(); ++i) {
        const auto t = parse_epoch_text(ts[i]);
        hours[i] = (first && t) ? (julian_date(*t) - julian_date(*first)) * 86400.0 / 3600.0 : std::nan("");
    }
    return hours;
}

}  // namespace tessora
