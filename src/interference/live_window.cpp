#include "interference/live_window.hpp"

#include <algorithm>

namespace tessora {

double CN0Window::seconds_of(const EpochTime& t) const { return origin_ ? exact_seconds_between(t, *origin_) : 0.0; }

std::uint32_t CN0Window::sat_id(std::string_view name) {
    if (auto it = sat_ids_.find(name); it != sat_ids_.end()) return it->second;
    const auto id = static_cast<std::uint32_t>(rec_.satellite_names.size());
    rec_.satellite_names.emplace_back(name);
    sat_ids_.emplace(std::string(name), id);
    return id;
}

// The window's id of an S code of `system`, announced in the system's list when new.
std::uint32_t CN0Window::code_id(char system, std::string_view code) {
    std::uint32_t id;
    if (auto it = code_ids_.find(code); it != code_ids_.end()) {
        id = it->second;
    } else {
        id = static_cast<std::uint32_t>(rec_.code_names.size());
        rec_.code_names.emplace_back(code);
        code_ids_.emplace(std::string(code), id);
    }
    auto& pos = position_[static_cast<unsigned char>(system) & 0x7F];
    if (pos.size() <= id) pos.resize(id + 1, 0);
    if (pos[id] == 0) {
        auto t = std::find_if(rec_.obs_types.begin(), rec_.obs_types.end(), [&](const ObsTypeList& l) { return l.system == system; });
        if (t == rec_.obs_types.end()) t = rec_.obs_types.insert(rec_.obs_types.end(), ObsTypeList{system, {}});
        t->codes.push_back(id);
        pos[id] = static_cast<std::uint32_t>(t->codes.size());
    }
    return id;
}

void CN0Window::append(const RinexObsData& chunk) {
    if (rec_.version == 0.0) rec_.version = chunk.version;
    if (rec_.time_system.empty()) rec_.time_system = chunk.time_system;
    if (chunk.approx_position) rec_.approx_position = chunk.approx_position;
    if (!chunk.receiver_type.empty()) rec_.receiver_type = chunk.receiver_type;
    if (!chunk.antenna_type.empty()) rec_.antenna_type = chunk.antenna_type;
    if (!chunk.marker_name.empty()) rec_.marker_name = chunk.marker_name;
    if (chunk.interval > 0.0) rec_.interval = chunk.interval;
    for (const auto& [slot, channel] : chunk.glonass_slots)
        if (!rec_.glonass_channel(slot)) rec_.glonass_slots.emplace_back(slot, channel);
    struct Value {
        std::uint32_t position, code;
        double v;
        std::uint8_t ind;
    };
    std::vector<Value> values;
    for (const Epoch& e : chunk.epochs) {
        if (!origin_) origin_ = e.time;
        const double t = seconds_of(e.time);
        if (!seconds_.empty() && t <= seconds_.back()) continue;  // not after the last one held
        Epoch out;
        out.time = e.time;
        out.flag = e.flag;
        out.sat_begin = static_cast<std::uint32_t>(rec_.sat_entries.size());
        for (auto* s = chunk.sats_begin(e); s != chunk.sats_end(e); ++s) {
            const std::string_view name = chunk.sat_name(*s);
            if (name.empty()) continue;
            values.clear();
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                if (!chunk.is_snr_code(chunk.obs_codes[i])) continue;
                const std::uint32_t code = code_id(name[0], chunk.code_name(i));
                values.push_back({position_[static_cast<unsigned char>(name[0]) & 0x7F][code], code,
                                  chunk.obs_values[i], chunk.obs_indicators[i]});
            }
            if (values.empty()) continue;
            std::sort(values.begin(), values.end(), [](const Value& a, const Value& b) { return a.position < b.position; });
            rec_.sat_entries.push_back({sat_id(name), static_cast<std::uint32_t>(rec_.obs_values.size()),
                                        static_cast<std::uint32_t>(values.size())});
            for (const Value& v : values) {
                rec_.obs_values.push_back(v.v);
                rec_.obs_codes.push_back(v.code);
                rec_.obs_indicators.push_back(v.ind);
            }
            ++out.sat_count;
        }
        if (out.sat_count == 0) continue;
        rec_.epochs.push_back(out);
        seconds_.push_back(t);
    }
}

void CN0Window::trim(double keep) {
    if (seconds_.empty() || seconds_.back() - seconds_.front() <= keep * 1.2) return;
    std::size_t first = 0;
    while (first < seconds_.size() && seconds_.back() - seconds_[first] > keep) ++first;
    if (first == 0 || first >= rec_.epochs.size()) return;
    const std::uint32_t sat0 = rec_.epochs[first].sat_begin;
    const std::uint32_t obs0 = rec_.sat_entries[sat0].obs_begin;
    rec_.epochs.erase(rec_.epochs.begin(), rec_.epochs.begin() + static_cast<std::ptrdiff_t>(first));
    rec_.sat_entries.erase(rec_.sat_entries.begin(), rec_.sat_entries.begin() + sat0);
    rec_.obs_values.erase(rec_.obs_values.begin(), rec_.obs_values.begin() + obs0);
    rec_.obs_codes.erase(rec_.obs_codes.begin(), rec_.obs_codes.begin() + obs0);
    rec_.obs_indicators.erase(rec_.obs_indicators.begin(), rec_.obs_indicators.begin() + obs0);
    for (Epoch& e : rec_.epochs) e.sat_begin -= sat0;
    for (SatelliteEntry& s : rec_.sat_entries) s.obs_begin -= obs0;
    seconds_.erase(seconds_.begin(), seconds_.begin() + static_cast<std::ptrdiff_t>(first));
}

}  // namespace tessora
