#include "rinex/obs_data.hpp"

#include "common/unicode.hpp"

namespace tessora {

std::string default_time_system(std::string_view file_system) {
    if (file_system == "R") return "GLO";
    if (file_system == "E") return "GAL";
    if (file_system == "C") return "BDT";
    if (file_system == "J") return "QZS";
    if (file_system == "I") return "IRN";
    return "GPS";
}

std::vector<std::uint32_t> RinexObsData::distinct_satellites() const {
    std::vector<std::uint32_t> out;
    std::vector<bool> seen(satellite_names.size(), false);
    for (const auto& e : epochs)
        for (auto* s = sats_begin(e); s != sats_end(e); ++s)
            if (!seen[s->sat]) {
                seen[s->sat] = true;
                out.push_back(s->sat);
            }
    return out;
}

std::vector<std::pair<std::string, std::vector<std::uint32_t>>> RinexObsData::satellites_by_system() const {
    std::vector<std::pair<std::string, std::vector<std::uint32_t>>> out;
    for (std::uint32_t id : distinct_satellites()) {
        const std::string& name = satellite_names[id];
        if (name.empty()) continue;
        std::uint32_t cp;
        const std::size_t len = decode_utf8_char(name, 0, cp);
        const std::string_view system(name.data(), len);
        auto it = out.begin();
        for (; it != out.end(); ++it)
            if (it->first == system) break;
        if (it == out.end()) {
            out.emplace_back(std::string(system), std::vector<std::uint32_t>{});
            it = out.end() - 1;
        }
        it->second.push_back(id);
    }
    return out;
}

}  // namespace tessora
