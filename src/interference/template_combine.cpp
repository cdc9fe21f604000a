#include "interference/template_combine.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace tessora {

namespace {

// (value, weight) pairs with a positive total weight.
double weighted_median(std::vector<std::pair<double, double>>& pairs) {
    std::sort(pairs.begin(), pairs.end());
    double total = 0.0;
    for (const auto& p : pairs) total += p.second;
    double acc = 0.0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        acc += pairs[i].second;
        if (acc * 2.0 == total && i + 1 < pairs.size()) return 0.5 * (pairs[i].first + pairs[i + 1].first);
        if (acc * 2.0 >= total) return pairs[i].first;
    }
    return pairs.back().first;
}

double plain_median(std::vector<std::pair<double, double>>& pairs, const std::vector<double>& values) {
    pairs.clear();
    for (double v : values) pairs.emplace_back(v, 1.0);
    return weighted_median(pairs);
}

SignalTemplate combine_signal(const std::vector<const SignalTemplate*>& curves) {
    SignalTemplate out;
    out.system = curves.front()->system;
    out.code = curves.front()->code;
    out.band = curves.front()->band;
    out.cn0.assign(kTemplateBins, 0.0);
    out.counts.assign(kTemplateBins, 0);
    std::vector<std::pair<double, double>> pairs;
    std::vector<double> values;
    for (std::size_t k = 0; k < kTemplateBins; ++k) {
        pairs.clear();
        values.clear();
        for (const SignalTemplate* c : curves) {
            out.counts[k] += c->counts[k];
            values.push_back(c->cn0[k]);
            if (c->counts[k] >= kCombineBinSamples)
                pairs.emplace_back(c->cn0[k], static_cast<double>(c->counts[k]));
        }
        // A bin no day filled on its own keeps the median of the days' filled-in values.
        out.cn0[k] = pairs.empty() ? plain_median(pairs, values) : weighted_median(pairs);
    }
    values.clear();
    for (const SignalTemplate* c : curves) values.push_back(c->floor);
    out.floor = plain_median(pairs, values);
    values.clear();
    for (const SignalTemplate* c : curves) values.push_back(c->low_elevation);
    out.low_elevation = plain_median(pairs, values);
    // Each satellite's offset: the median over the days that give it, their samples summed.
    std::vector<const SatelliteOffset*> all;
    for (const SignalTemplate* c : curves)
        for (const SatelliteOffset& o : c->offsets) all.push_back(&o);
    std::stable_sort(all.begin(), all.end(), [](const SatelliteOffset* a, const SatelliteOffset* b) { return a->satellite < b->satellite; });
    for (std::size_t i = 0; i < all.size();) {
        std::size_t j = i;
        std::uint64_t samples = 0;
        values.clear();
        for (; j < all.size() && all[j]->satellite == all[i]->satellite; ++j) {
            values.push_back(all[j]->db);
            samples += all[j]->samples;
        }
        out.offsets.push_back({all[i]->satellite, plain_median(pairs, values), samples});
        i = j;
    }
    return out;
}

}  // namespace

CN0Template combine_templates(const std::vector<const CN0Template*>& days, std::string station) {
    CN0Template out;
    out.station = std::move(station);
    std::map<std::pair<std::string, std::string>, std::vector<const SignalTemplate*>> by_signal;
    for (const CN0Template* day : days) {
        if (!day->start_time.empty() && (out.start_time.empty() || day->start_time < out.start_time))
            out.start_time = day->start_time;
        if (!day->end_time.empty() && day->end_time > out.end_time) out.end_time = day->end_time;
        for (const SignalTemplate& s : day->signals)
            if (s.cn0.size() == kTemplateBins && s.counts.size() == kTemplateBins)
                by_signal[{s.system, s.code}].push_back(&s);
    }
    for (const auto& [key, curves] : by_signal) out.signals.push_back(combine_signal(curves));
    return out;
}

}  // namespace tessora
