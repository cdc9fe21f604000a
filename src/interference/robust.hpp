// Robust statistics used by the detector: medians, median absolute deviations and the normal
// quantile behind its thresholds.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tessora {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// MAD of a normal sample times this is its standard deviation.
inline constexpr double kMadToSigma = 1.482602218505602;
// Interquartile range of a standard normal variable, and the most the scale from the central 68 %
// range may exceed that from the interquartile range (see robust_scale).
inline constexpr double kIqrOfNormal = 1.3489795003921634;
inline constexpr double kShoulderBound = 1.25;

// Median of the values (reordered in place); NaN when empty. Even counts average the middle two.
template <typename T>
double median_in_place(std::vector<T>& v) {
    if (v.empty()) return kNaN;
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = static_cast<double>(v[mid]);
    if (v.size() % 2 == 1) return upper;
    const double lower = static_cast<double>(*std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)));
    return 0.5 * (lower + upper);
}

// Value at quantile q in [0, 1] (nearest rank, reordered in place); NaN when empty.
template <typename T>
double quantile_in_place(std::vector<T>& v, double q) {
    if (v.empty()) return kNaN;
    const auto k = static_cast<std::size_t>(std::clamp(q, 0.0, 1.0) * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]);
}

// Standard deviation of the values between the 1st and 99th percentiles, divided by that of a
// normal sample's same central part (0.8935): a scale that, unlike the MAD, does not collapse to
// zero on quantised values that mostly tie, and that a few outliers do not inflate.
inline double trimmed_sigma(std::vector<double> v) {
    if (v.size() < 3) return kNaN;
    const std::size_t cut = v.size() / 100;
    const double lo = quantile_in_place(v, static_cast<double>(cut) / static_cast<double>(v.size() - 1));
    const double hi = quantile_in_place(v, 1.0 - static_cast<double>(cut) / static_cast<double>(v.size() - 1));
    double sum = 0.0, squares = 0.0;
    std::size_t n = 0;
    for (double x : v)
        if (x >= lo && x <= hi) {
            sum += x;
            ++n;
        }
    const double mean = sum / static_cast<double>(n);
    for (double x : v)
        if (x >= lo && x <= hi) squares += (x - mean) * (x - mean);
    return std::sqrt(squares / static_cast<double>(n)) / 0.8935;
}

// Robust centre and scale (median, and a standard deviation from the central part) of the
// values. The scale is the larger of the MAD's and half the central 68 % range, which feels the
// shoulders of the distribution. That range breaks down under a block of outliers (a long event)
// of a sixth of the values, four hours of a day, and is held to 1.25 times the interquartile
// range's (over its 1.349 in a normal sample), which holds up to a quarter: the shoulders of real
// noise, between a normal and a Laplace distribution, give 1.0 to 1.12 times it, a block of a
// sixth twice or more. Values that mostly tie (quantised CN0) can leave the scale at zero, and
// then the trimmed standard deviation stands in.
// With `trimmed`, for values known to hold no event, the scale is at least the trimmed standard
// deviation, which also feels the shoulders of the distribution.
struct RobustScale {
    double centre = kNaN;
    double sigma = kNaN;
};
inline RobustScale robust_scale(std::vector<double> v, bool trimmed_floor = false) {
    RobustScale r;
    if (v.empty()) return r;
    const double q16 = quantile_in_place(v, 0.15866), q84 = quantile_in_place(v, 0.84134);
    const double q25 = quantile_in_place(v, 0.25), q75 = quantile_in_place(v, 0.75);
    const double trimmed = trimmed_sigma(v);
    r.centre = median_in_place(v);
    for (double& x : v) x = std::fabs(x - r.centre);
    const double shoulders = std::min(0.5 * (q84 - q16), kShoulderBound * (q75 - q25) / kIqrOfNormal);
    r.sigma = std::max(kMadToSigma * median_in_place(v), shoulders);
    if ((trimmed_floor || !(r.sigma > 1e-9)) && trimmed > r.sigma) r.sigma = trimmed;
    return r;
}

// The z for which a standard normal variable exceeds z with probability p (0 < p < 0.5).
inline double normal_upper_quantile(double p) {
    double lo = 0.0, hi = 40.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (0.5 * std::erfc(mid / std::sqrt(2.0)) > p) lo = mid;
        else hi = mid;
    }
    return 0.5 * (lo + hi);
}

}  // namespace tessora
