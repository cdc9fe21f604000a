// The detector's accumulated evidence: the noise model fitted to a recording's own excursions
// predicts how often noise alone passes a level (on independent noise of the same kind), the
// stretches it finds start at the onset and end at the peak of the evidence, and a short drop needs
// more than a long one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "interference/steps.hpp"

using namespace tessora;
using namespace tessora::detector;

namespace {

constexpr std::size_t kDay = 2880;  // a day at 30 s

struct Noise {
    std::uint64_t state;
    double uniform() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
    }
    double normal() { return std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform()); }
    // Student's t with 3 degrees of freedom, scaled to unit variance: tails far heavier than normal.
    double heavy() {
        const double n = normal(), c = normal() * normal() + normal() * normal() + normal() * normal();
        return n / std::sqrt(c / 3.0) / std::sqrt(3.0);
    }
};

Work epochs(std::size_t n) {
    Work w;
    w.seconds.resize(n);
    for (std::size_t e = 0; e < n; ++e) w.seconds[e] = 30.0 * static_cast<double>(e);
    w.excluded.assign(n, 0);
    return w;
}

// The per-epoch tail decay of a whole series.
double decay_of(const std::vector<double>& z) {
    tessora::SlotNoise counts;
    count_epoch_tail(z, nullptr, 0, SIZE_MAX, counts);
    return epoch_tail_decay(counts);
}

// Excursions of noise past the level that a model fitted on one day expects `per_day` times a
// day, counted on the next days (other draws of the same noise): observed / predicted.
template <typename Draw>
double crossing_ratio(Draw draw, double per_day, std::size_t days) {
    const Work w = epochs(kDay);
    double predicted = 0.0, observed = 0.0;
    for (std::size_t d = 0; d + 1 < days; d += 2) {
        std::vector<double> fit_day(kDay), test_day(kDay);
        for (double& z : fit_day) z = draw();
        for (double& z : test_day) z = draw();
        double seconds = 0.0;
        const std::vector<double> maxima = excursion_maxima(w, fit_day, 1.0, nullptr, seconds);
        const Tail tail = fit_tail(maxima, seconds, decay_of(fit_day), 0.0);
        const double level = level_for_rate(tail, per_day);
        predicted += per_day;
        for (double m : excursion_maxima(w, test_day, 1.0, nullptr, seconds)) observed += m >= level;
    }
    return observed / predicted;
}

}  // namespace

TEST(Evidence, NoiseModelPredictsCrossingsOfIndependentNoise) {
    // Normal noise: within a factor of two at a rate of a few a day, where the counts tell.
    Noise normal{7};
    const double r = crossing_ratio([&] { return normal.normal(); }, 2.0, 400);
    EXPECT_GT(r, 0.5);
    EXPECT_LT(r, 2.0);
    // Tails heavier than normal: the fit follows them instead of assuming normal noise, so the
    // rate stays near what was asked for rather than growing by orders of magnitude.
    Noise heavy{11};
    const double h = crossing_ratio([&] { return heavy.heavy(); }, 2.0, 400);
    EXPECT_GT(h, 0.3);
    EXPECT_LT(h, 3.0);
}

TEST(Evidence, QuantisedStatisticStillHasAFiniteTail) {
    // CN0 in whole dB-Hz leaves a statistic of few values; its tail decay must stay positive and
    // finite, and the threshold above the reference.
    Noise noise{3};
    std::vector<double> z(kDay);
    for (double& x : z) x = 1.7 * std::round(noise.normal() / 1.7);
    const double decay = decay_of(z);
    EXPECT_GT(decay, 0.0);
    EXPECT_TRUE(std::isfinite(decay));
    const Work w = epochs(kDay);
    double seconds = 0.0;
    const Tail tail = fit_tail(excursion_maxima(w, z, 1.0, nullptr, seconds), seconds, decay, 0.0);
    EXPECT_GT(level_for_rate(tail, 0.001), 2.0);
}

TEST(Evidence, StretchesStartAtTheOnsetAndEndAtThePeak) {
    Work w = epochs(400);
    std::vector<double> z(400, 0.0);
    z[99] = 3.5;  // noise just above the reference right before the onset
    for (std::size_t e = 100; e < 110; ++e) z[e] = 20.0;
    z[150] = std::nan("");  // an epoch without data inside the quiet stretch
    for (std::size_t e = 200; e < 205; ++e) z[e] = 12.0;  // a second event after the first
    const std::vector<Segment> s = evidence_segments(w, z, 30.0);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].first, 100u);
    EXPECT_EQ(s[0].last, 109u);
    EXPECT_NEAR(s[0].evidence, 0.5 + 10 * 17.0, 1e-9);
    EXPECT_EQ(s[1].first, 200u);
    EXPECT_EQ(s[1].last, 204u);
}

TEST(Evidence, ShortDropNeedsMoreThanALongOne) {
    Work w = epochs(600);
    std::vector<double> z(600, 0.0);
    for (std::size_t e = 100; e < 102; ++e) z[e] = 6.0;  // two epochs at 6 sigma: 6 in all
    for (std::size_t e = 300; e < 340; ++e) z[e] = 4.0;  // forty at 4 sigma: 40 in all
    const std::vector<Segment> s = evidence_segments(w, z, 10.0);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].first, 300u);
    EXPECT_EQ(s[0].last, 339u);
}

TEST(Evidence, SpanScoreAllowsForCorrelatedNoise) {
    // A statistic that wanders slowly (correlated from epoch to epoch) sums to more than
    // independent noise: its span score is scaled down accordingly.
    Noise noise{5};
    Work w = epochs(kDay);
    BandWork white, slow;
    white.z.resize(kDay);
    slow.z.resize(kDay);
    double level = 0.0;
    for (std::size_t e = 0; e < kDay; ++e) {
        white.z[e] = noise.normal();
        level = 0.9 * level + std::sqrt(1.0 - 0.81) * noise.normal();
        slow.z[e] = level;
    }
    measure_correlation(w, white);
    measure_correlation(w, slow);
    EXPECT_LT(white.correlation, 1.6);
    EXPECT_GT(slow.correlation, 5.0);
    for (std::size_t e = 1000; e < 1020; ++e) white.z[e] = slow.z[e] = 1.0;
    EXPECT_NEAR(span_score(white, 1000, 1019), std::sqrt(20.0) / std::sqrt(white.correlation), 1e-9);
    EXPECT_LT(span_score(slow, 1000, 1019), 0.5 * span_score(white, 1000, 1019));
}
