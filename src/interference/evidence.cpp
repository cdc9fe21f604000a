// Accumulated evidence: a jammer of a few dB that lasts for minutes shows in no single epoch, but
// its standardised degradation, summed over the epochs it covers, grows without bound while the
// noise's sum does not. The one-sided CUSUM S = max(0, S + z - k) sums the evidence since the
// statistic last ran below its reference k; a short event then needs a larger drop than a long
// one. How high the sum climbs on noise alone is measured on the recording itself: the maxima of
// its excursions have an exponential tail, whose fit sets the level reached at a chosen rate.
#include <algorithm>
#include <cmath>

#include "interference/robust.hpp"
#include "interference/steps.hpp"

namespace tessora::detector {

namespace {

// The evidence sum starts again after a gap in the data longer than this.
constexpr double kEvidenceGap = 7200.0;  // s
// Below this many excursions the tail is not fitted: it is the statistic's own beyond the reference.
constexpr std::size_t kTailExcursions = 8;
// Excesses the pooled decay needs.
constexpr std::size_t kPooledExcesses = 10;
// Block length (epochs) of the sums that measure the statistic's correlation in time.
constexpr std::size_t kCorrelationBlock = 20;

}  // namespace

std::vector<double> excursion_maxima(const Work& w, const std::vector<double>& z, double sign,
                                     const std::vector<std::uint8_t>* skip, double& seconds) {
    std::vector<double> out;
    double s = 0.0, peak = 0.0;
    std::size_t last = SIZE_MAX;
    seconds = 0.0;
    const auto close = [&] {
        if (peak > 0.0) out.push_back(peak);
        s = peak = 0.0;
    };
    for (std::size_t e = 0; e < z.size(); ++e) {
        if (std::isnan(z[e]) || (skip && (*skip)[e])) {
            continue;
        }
        if (last != SIZE_MAX) {
            const double step = w.seconds[e] - w.seconds[last];
            if (step > kEvidenceGap) close();
            else seconds += step;
        }
        last = e;
        s = std::max(0.0, s + sign * z[e] - kReference);
        if (s == 0.0) close();
        peak = std::max(peak, s);
    }
    close();
    return out;
}

void count_epoch_tail(const std::vector<double>& z, const std::vector<std::uint8_t>* skip, std::size_t from,
                      std::size_t to, SlotNoise& into) {
    for (std::size_t e = from; e < z.size() && e <= to; ++e) {
        if (std::isnan(z[e]) || (skip && (*skip)[e])) continue;
        const double a = std::fabs(z[e]);
        into.near += a > kReference - 2.0;
        into.at += a > kReference;
        into.beyond += a > kReference + 2.0;
    }
}

double epoch_tail_decay(const SlotNoise& n) {
    // Normal noise: P(|z| > 1) / P(|z| > 3) = 117. Steps of two sigma, so that CN0 in whole
    // dB-Hz, whose statistic takes few values, still shows its tail; the slower of the decays
    // below and beyond the reference, since real tails grow heavier further out.
    if (n.at < 2.0) return std::log(117.0) / 2.0;
    const double inner = std::log(n.near / n.at) / 2.0;
    const double outer = std::log(n.at / std::max(n.beyond, 0.5)) / 2.0;
    return std::min(inner, outer);
}

double pooled_tail_decay(const std::vector<std::vector<double>>& maxima_per_slot) {
    double sum = 0.0;
    std::size_t n = 0;
    for (std::vector<double> m : maxima_per_slot) {
        if (m.size() < kTailExcursions) continue;
        std::sort(m.begin(), m.end(), std::greater<>());
        const double base = m[std::max<std::size_t>(2, m.size() / 4) - 1];
        // The largest excursion of a side is left out: where a band holds an event, it is that.
        for (std::size_t i = 1; i < m.size() && m[i] >= base; ++i) {
            sum += m[i] - base;
            ++n;
        }
    }
    // The mean excess, not a quantile: the heaviest excursions are what the far tail is made of.
    if (n < kPooledExcesses || !(sum > 0.0)) return 0.0;
    return static_cast<double>(n) / sum;
}

Tail fit_tail(std::vector<double> maxima, double seconds, double epoch_decay, double pooled_decay) {
    Tail t;
    seconds = std::max(seconds, 1.0);
    std::sort(maxima.begin(), maxima.end(), std::greater<>());
    const std::size_t n = maxima.size();
    // Normal noise: the sum of N(0, 1) - k climbs past x with probability about exp(-2k x). Real
    // statistics (multipath, quantised CN0, correlated errors) decay more slowly, never faster.
    const double normal_decay = 2.0 * kReference;
    if (n < kTailExcursions) {
        // Every excursion passes zero; beyond it they fall off as the statistic's own tail.
        t.level = 0.0;
        t.rate = static_cast<double>(std::max<std::size_t>(n, 1)) / seconds;
        t.decay = std::min(std::max(epoch_decay, 0.1), normal_decay);
        if (pooled_decay > 0.0) t.decay = std::min(t.decay, pooled_decay);
        return t;
    }
    // The largest thirty-second and eighth of the maxima (on fewer excursions, the four largest and
    // the sixteen largest). Quantiles, not the mean excess: a real event among them moves neither.
    const std::size_t small = std::max(n / 32, std::min<std::size_t>(4, n / 4)), large = std::min(n, 4 * small);
    const double upper = maxima[small - 1], lower = maxima[large - 1];
    const double decay = upper > lower ? std::log(static_cast<double>(large) / static_cast<double>(small)) / (upper - lower)
                                       : normal_decay;
    t.level = upper;
    t.rate = static_cast<double>(small) / seconds;
    t.decay = std::min(decay, normal_decay);
    if (pooled_decay > 0.0) t.decay = std::min(t.decay, pooled_decay);
    return t;
}

double level_for_rate(const Tail& t, double per_day) {
    const double per_second = per_day / 86400.0;
    if (!(t.rate > per_second)) return t.level;
    return t.level + std::log(t.rate / per_second) / t.decay;
}

std::vector<Segment> evidence_segments(const Work& w, const std::vector<double>& z, double threshold) {
    std::vector<Segment> out;
    const std::size_t n = z.size();
    std::size_t e = 0;
    while (e < n) {
        double s = 0.0, peak = 0.0;
        std::size_t first = SIZE_MAX, peak_at = 0, last = SIZE_MAX, resume = n;
        bool found = false;
        for (; e < n; ++e) {
            if (std::isnan(z[e])) continue;
            if (last != SIZE_MAX && w.seconds[e] - w.seconds[last] > kEvidenceGap) {
                if (peak >= threshold) break;
                s = peak = 0.0;
                first = SIZE_MAX;
            }
            last = e;
            s = std::max(0.0, s + z[e] - kReference);
            if (s == 0.0) {
                if (peak >= threshold) break;
                peak = 0.0;
                first = SIZE_MAX;
                continue;
            }
            if (first == SIZE_MAX) first = e;
            if (s > peak) {
                peak = s;
                peak_at = e;
            }
            // The evidence has fallen back by the threshold: the event ended at its peak.
            if (peak >= threshold && s <= peak - threshold) break;
        }
        if (peak >= threshold && first != SIZE_MAX) {
            found = true;
            resume = peak_at + 1;
        }
        if (!found) break;
        // Trim the epochs at either end that add little to the evidence: noise just above the
        // reference before a strong onset would otherwise move the start early.
        std::vector<double> inside;
        for (std::size_t k = first; k <= peak_at; ++k)
            if (!std::isnan(z[k])) inside.push_back(z[k]);
        const double cut = std::max(kReference, 0.25 * median_in_place(inside));
        std::size_t a = first, b = peak_at;
        while (a < b && (std::isnan(z[a]) || z[a] < cut)) ++a;
        while (b > a && (std::isnan(z[b]) || z[b] < cut)) --b;
        out.push_back(Segment{a, b, peak});
        e = resume;
    }
    return out;
}

void measure_correlation(const Work& w, BandWork& bw) {
    // Sums of z over blocks of consecutive learning epochs, against the value of independent
    // noise (a block of L unit values sums to variance L).
    std::vector<double> sums;
    double sum = 0.0;
    std::size_t in_block = 0;
    for (std::size_t e = 0; e < bw.z.size(); ++e) {
        if (std::isnan(bw.z[e]) || w.excluded[e]) {
            sum = 0.0;
            in_block = 0;
            continue;
        }
        sum += bw.z[e];
        if (++in_block == kCorrelationBlock) {
            sums.push_back(sum);
            sum = 0.0;
            in_block = 0;
        }
    }
    bw.correlation = 1.0;
    if (sums.size() < 10) return;
    const RobustScale r = robust_scale(std::move(sums));
    if (std::isnan(r.sigma)) return;
    bw.correlation = std::max(1.0, r.sigma * r.sigma / static_cast<double>(kCorrelationBlock));
}

double span_score(const BandWork& bw, std::size_t first, std::size_t last) {
    double sum = 0.0;
    std::size_t n = 0;
    for (std::size_t e = first; e <= last && e < bw.z.size(); ++e)
        if (!std::isnan(bw.z[e])) {
            sum += bw.z[e];
            ++n;
        }
    if (n == 0) return kNaN;
    // Sums over fewer epochs than the block are less correlated than a block's.
    const double blocks = std::min(static_cast<double>(n), static_cast<double>(kCorrelationBlock));
    const double inflation = 1.0 + (bw.correlation - 1.0) * (blocks - 1.0) / (kCorrelationBlock - 1.0);
    return sum / std::sqrt(static_cast<double>(n) * inflation);
}

}  // namespace tessora::detector
