#include "rinex/obs_summary.hpp"

#include <algorithm>

#include "common/numbers.hpp"

namespace tessora {

std::vector<SnrStats> snr_stats_by_satellite(const RinexObsData& rec) {
    struct Acc {
        std::uint64_t count = 0;
        std::uint64_t valid = 0;
        double sum = 0.0;
    };
    std::vector<Acc> acc(rec.satellite_names.size());
    std::vector<bool> snr_code(rec.code_names.size());
    for (std::size_t c = 0; c < rec.code_names.size(); ++c) snr_code[c] = rec.is_snr_code(static_cast<std::uint32_t>(c));
    for (const auto& e : rec.epochs)
        for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s)
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                if (!snr_code[rec.obs_codes[i]]) continue;
                Acc& a = acc[s->sat];
                ++a.count;
                const double v = rec.obs_values[i];
                if (is_valid_cn0(v)) {
                    ++a.valid;
                    a.sum += v;
                }
            }
    std::vector<SnrStats> out;
    for (std::size_t id = 0; id < acc.size(); ++id) {
        if (acc[id].count == 0) continue;
        SnrStats s;
        s.satellite = rec.satellite_names[id];
        s.obs_count = static_cast<double>(acc[id].count);
        s.valid_count = static_cast<double>(acc[id].valid);
        s.mean_snr = acc[id].valid ? acc[id].sum / static_cast<double>(acc[id].valid) : 0.0;
        out.push_back(std::move(s));
    }
    std::sort(out.begin(), out.end(), [](const SnrStats& a, const SnrStats& b) { return a.satellite < b.satellite; });
    return out;
}

std::vector<std::pair<std::string, bool>> snr_availability(const RinexObsData& rec) {
    std::vector<std::pair<std::string, bool>> out;
    for (const auto& t : rec.obs_types) {
        bool any = false;
        for (auto c : t.codes) any = any || rec.is_snr_code(c);
        out.emplace_back(std::string(1, t.system), any);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<std::string, std::string>> debug_info(const RinexObsData& rec) {
    std::vector<std::pair<std::string, std::string>> out;
    out.emplace_back("version", format_fixed(rec.version, 2));
    out.emplace_back("num_epochs", std::to_string(rec.epochs.size()));
    out.emplace_back("num_satellites", std::to_string(rec.distinct_satellites().size()));
    for (const auto& [system, ids] : rec.satellites_by_system()) {
        out.emplace_back(system + "_satellites", std::to_string(ids.size()));
        std::string list;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i) list += ',';
            list += rec.satellite_names[ids[i]];
        }
        out.emplace_back(system + "_sat_list", std::move(list));
    }
    for (const auto& t : rec.obs_types) {
        const std::string system(1, t.system);
        out.emplace_back(system + "_obs_types_count", std::to_string(t.codes.size()));
        std::string all, snr;
        for (std::size_t i = 0; i < t.codes.size(); ++i) {
            const std::string& c = rec.code_names[t.codes[i]];
            if (i) all += ',';
            all += c;
            if (rec.is_snr_code(t.codes[i])) {
                if (!snr.empty()) snr += ',';
                snr += c;
            }
        }
        out.emplace_back(system + "_obs_types", std::move(all));
        out.emplace_back(system + "_snr_types", std::move(snr));
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

std::string obs_repr(const RinexObsData& rec) {
    std::string s = "RinexObsData(version=";
    append_fixed(s, rec.version, 2);
    s += ", epochs=";
    append_uint(s, rec.epochs.size());
    s += ", satellites=";
    append_uint(s, rec.distinct_satellites().size());
    s += ')';
    return s;
}

}  // namespace tessora
