#include "rinex/obs_write_plan.hpp"

namespace tessora {

namespace {

// Systems whose SYS / # / OBS TYPES records a RINEX 3 reader takes.
constexpr std::string_view kSystems3 = "GREJCIS";
constexpr std::size_t kMaxTypes = 999;  // the count field has three digits

bool printable(char c) { return c > ' ' && c < 0x7F; }

Expected<WritePlan> refuse(std::string message) { return Expected<WritePlan>::failure(std::move(message)); }

// The columns of one system's list; fails naming the first code RINEX 3 cannot hold.
std::string add_system(WritePlan& plan, const RinexObsData& rec, char system, const std::vector<std::uint32_t>& codes) {
    if (codes.size() > kMaxTypes)
        return std::string("system ") + system + " announces more than 999 observation types";
    SystemColumns s;
    s.system = system;
    s.first.assign(rec.code_names.size(), -1);
    s.next_same.assign(codes.size(), -1);
    for (std::size_t k = 0; k < codes.size(); ++k) {
        const std::string& code = rec.code_names[codes[k]];
        std::string name = rinex3_code_name(code);
        if (name.empty())
            return "observation code '" + code + "' of system " + system + " has no RINEX 3 equivalent";
        s.names.push_back(std::move(name));
        const auto col = static_cast<std::int32_t>(k);
        std::int32_t& first = s.first[codes[k]];
        if (first < 0) {
            first = col;
        } else {
            std::int32_t c = first;
            while (s.next_same[static_cast<std::size_t>(c)] >= 0) c = s.next_same[static_cast<std::size_t>(c)];
            s.next_same[static_cast<std::size_t>(c)] = col;
        }
    }
    if (codes.size() > plan.max_columns) plan.max_columns = codes.size();
    plan.index_of[static_cast<unsigned char>(system)] = static_cast<std::int16_t>(plan.systems.size());
    plan.systems.push_back(std::move(s));
    return {};
}

// Lists for the systems that have satellites but no announced types: the codes their
// observations use, in order of first use.
std::vector<std::pair<char, std::vector<std::uint32_t>>> made_up_lists(const RinexObsData& rec) {
    std::vector<std::pair<char, std::vector<std::uint32_t>>> lists;
    std::vector<std::vector<bool>> seen;
    for (const auto& e : rec.epochs)
        for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s) {
            const std::string_view name = rec.sat_name(*s);
            if (!writable_satellite_name(name) || rec.types_of(name[0])) continue;  // refused later
            std::size_t i = 0;
            while (i < lists.size() && lists[i].first != name[0]) ++i;
            if (i == lists.size()) {
                lists.emplace_back(name[0], std::vector<std::uint32_t>{});
                seen.emplace_back(rec.code_names.size(), false);
            }
            for (std::uint32_t o = s->obs_begin; o < s->obs_begin + s->obs_count; ++o) {
                const std::uint32_t code = rec.obs_codes[o];
                if (!seen[i][code]) {
                    seen[i][code] = true;
                    lists[i].second.push_back(code);
                }
            }
        }
    return lists;
}

}  // namespace

std::string rinex3_code_name(std::string_view code) {
    if (code.size() == 3) {
        // Printable ASCII beginning with a letter: what the RINEX 3 reader takes for a code.
        const char first = static_cast<char>(code[0] | 0x20);
        if (first < 'a' || first > 'z') return {};
        for (char c : code)
            if (!printable(c)) return {};
        return std::string(code);
    }
    if (code == "D1") return "D1C";
    if (code == "D2") return "D2C";
    if (code == "D5") return "D5Q";
    return {};
}

bool writable_satellite_name(std::string_view name) {
    if (name.empty() || name.size() > 3 || kSystems3.find(name[0]) == std::string_view::npos) return false;
    // "&" stands for a blank in the compact format's epoch lines.
    for (char c : name)
        if (!printable(c) || c == '&') return false;
    return true;
}

Expected<WritePlan> plan_write(const RinexObsData& rec) {
    WritePlan plan;
    plan.index_of.fill(-1);
    for (const auto& t : rec.obs_types) {
        if (kSystems3.find(t.system) == std::string_view::npos)
            return refuse(std::string("system '") + t.system + "' has no RINEX 3 type list");
        if (plan.index_of[static_cast<unsigned char>(t.system)] >= 0) continue;  // the reader keeps one list a system
        if (std::string e = add_system(plan, rec, t.system, t.codes); !e.empty()) return refuse(std::move(e));
    }
    for (const auto& [system, codes] : made_up_lists(rec))
        if (std::string e = add_system(plan, rec, system, codes); !e.empty()) return refuse(std::move(e));
    for (const auto& e : rec.epochs)
        for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s)
            if (!writable_satellite_name(rec.sat_name(*s)))
                return refuse("satellite '" + std::string(rec.sat_name(*s)) + "' cannot be written in RINEX 3");
    return plan;
}

}  // namespace tessora
