#include "rinex/obs_reader.hpp"

#include <algorithm>
#include <unordered_map>

#include "archive/expand.hpp"
#include "archive/line_source.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/unicode.hpp"

namespace tessora {

namespace {

constexpr std::string_view kSystems3 = "GREJCIS";

// Interning table for satellite identifiers (at most a few bytes) and observation codes.
class Interner {
public:
    explicit Interner(std::vector<std::string>& names) : names_(names) {}
    std::uint32_t get(std::string_view s) {
        auto it = index_.find(s);
        if (it != index_.end()) return it->second;
        auto id = static_cast<std::uint32_t>(names_.size());
        names_.emplace_back(s);
        index_.emplace(std::string(s), id);
        return id;
    }

private:
    std::vector<std::string>& names_;
    TextMap<std::uint32_t> index_;
};

// The code list of one system prepared for the data section: code ids and, for lists that
// repeat a code, the position of the code's first occurrence (its slot in a satellite).
struct PreparedList {
    const std::vector<std::uint32_t>* codes = nullptr;
    std::vector<std::uint32_t> slot;  // empty when the list has no repeated code
};

// "G 1" (a letter, a blank and a digit) is the blank-padded form of "G01".
std::string_view normalise_padded_id(std::string_view id, char (&buf)[3]) {
    if (id.size() == 3 && ((id[0] >= 'A' && id[0] <= 'Z') || (id[0] >= 'a' && id[0] <= 'z')) && id[1] == ' ' &&
        id[2] >= '0' && id[2] <= '9') {
        buf[0] = id[0];
        buf[1] = '0';
        buf[2] = id[2];
        return std::string_view(buf, 3);
    }
    return id;
}

class ObsReader {
public:
    // `size` is the text's length, or a guess at it for a text still arriving.
    ObsReader(LineSource& lines, std::size_t size, std::string_view file_name)
        : lines_(lines), file_name_(file_name), sats_(rec_.satellite_names), codes_(rec_.code_names) {
        // No more observations than 16-byte fields in the text plus one per line.
        const std::size_t bound = size / 16 + std::max(lines_.known(), size / 64);
        rec_.obs_values.reserve(bound);
        rec_.obs_codes.reserve(bound);
        rec_.obs_indicators.reserve(bound);
    }

    Expected<RinexObsData> run() {
        if (!read_header()) return Expected<RinexObsData>::failure("No END OF HEADER found");
        if (rec_.marker_name.empty()) rec_.marker_name = std::string(file_name_);
        rec_.file_name = std::string(file_name_);
        if (rec_.time_system.empty()) rec_.time_system = default_time_system(file_system_);
        prepare_lists();
        if (rec_.version >= 3.0)
            read_data_v3();
        else
            read_data_v2();
        return std::move(rec_);
    }

private:
    LineSource& lines_;
    std::string_view file_name_;
    RinexObsData rec_;
    Interner sats_;
    Interner codes_;
    std::size_t pos_ = 0;  // index of the current line
    std::string_view file_system_;  // satellite system of the file (RINEX VERSION / TYPE, column 41)
    PreparedList prepared_[128];
    // Per-satellite scratch for lists with repeated codes: observation index of each slot.
    std::vector<std::uint32_t> slot_obs_;
    std::vector<std::uint32_t> touched_;

    ObsTypeList& list_of(char system) {
        for (auto& t : rec_.obs_types)
            if (t.system == system) return t;
        rec_.obs_types.push_back(ObsTypeList{system, {}});
        return rec_.obs_types.back();
    }

    // ---------------------------------------------------------------- header
    bool read_header() {
        char current_system = 0;
        for (; lines_.has(pos_); ++pos_) {
            const std::string_view line = lines_[pos_];
            if (line.size() < 60) continue;
            const std::string_view label = trim(column_from(line, 60));
            auto has = [&](std::string_view t) { return label.find(t) != std::string_view::npos; };
            if (has("RINEX VERSION")) {
                if (auto v = parse_float(trim(column(line, 0, 9)))) rec_.version = *v;
                file_system_ = trim(column(line, 40, 41));
            } else if (has("TIME OF FIRST OBS")) {
                rec_.time_system = std::string(trim(column(line, 48, 51)));
            } else if (has("MARKER NAME")) {
                rec_.marker_name = std::string(trim(column(line, 0, 60)));
            } else if (has("REC # / TYPE")) {
                rec_.receiver_type = std::string(trim(column(line, 20, 40)));
                rec_.receiver_firmware = std::string(trim(column(line, 40, 60)));
            } else if (has("ANT # / TYPE")) {
                rec_.antenna_type = std::string(trim(column(line, 20, 40)));
            } else if (has("APPROX POSITION XYZ")) {
                double xyz[3];
                int n = 0;
                for_each_token(column(line, 0, 60), [&](std::string_view t) {
                    if (n < 3)
                        if (auto v = parse_float(t)) xyz[n++] = *v;
                });
                if (n == 3) rec_.approx_position = std::array<double, 3>{xyz[0], xyz[1], xyz[2]};
            } else if (has("INTERVAL")) {
                if (auto v = parse_float(trim(column(line, 0, 10)))) rec_.interval = *v;
            } else if (has("SYS / # / OBS TYPES")) {
                const char first = line[0];
                if (kSystems3.find(first) != std::string_view::npos) current_system = first;
                if (current_system == 0) continue;
                std::vector<std::uint32_t> found;
                // Codes are normally three characters; a two-character column such as a
                // receiver's "X1" channel number still owns its 16-byte field, so it is kept
                // to hold the alignment of the codes after it.
                for_each_token(column(line, 6, 60), [&](std::string_view t) {
                    if (t.size() >= 2 && starts_with_letter(t)) found.push_back(codes_.get(t));
                });
                if (!found.empty()) {
                    auto& list = list_of(current_system).codes;
                    list.insert(list.end(), found.begin(), found.end());
                }
            } else if (has("# / TYPES OF OBSERV")) {
                std::vector<std::uint32_t> found;
                for_each_token(column(line, 0, 60), [&](std::string_view t) {
                    if (t.size() < 2 || (t[0] >= '0' && t[0] <= '9')) return;
                    found.push_back(codes_.get(translate_v2_code(t)));
                });
                if (!found.empty()) {
                    for (char s : {'G', 'R', 'E', 'C'}) {
                        auto& list = list_of(s).codes;
                        list.insert(list.end(), found.begin(), found.end());
                    }
                }
            } else if (has("GLONASS SLOT / FRQ") || has("GLONASS COD/PHS/BIS")) {
                read_glonass_slots(column(line, 0, 60));
            } else if (has("END OF HEADER")) {
                ++pos_;
                return true;
            }
        }
        return false;
    }

    static std::string_view translate_v2_code(std::string_view t) {
        static constexpr std::pair<std::string_view, std::string_view> table[] = {
            {"C1", "C1C"}, {"P1", "C1P"}, {"L1", "L1C"}, {"S1", "S1C"}, {"C2", "C2C"}, {"P2", "C2P"},
            {"L2", "L2C"}, {"S2", "S2C"}, {"C5", "C5Q"}, {"L5", "L5Q"}, {"S5", "S5Q"}};
        for (const auto& [from, to] : table)
            if (t == from) return to;
        return t;
    }

    void read_glonass_slots(std::string_view area) {
        std::vector<std::string_view> tok = split_whitespace(area);
        if (tok.size() < 2) return;
        std::size_t i = 0;
        while (i + 1 < tok.size()) {
            const std::string_view a = tok[i];
            std::optional<std::uint32_t> slot;
            if (a.size() >= 3 && a[0] == 'R') {
                std::string_view rest = a.substr(1);
                if (!rest.empty() && rest[0] == '+') rest.remove_prefix(1);
                slot = parse_uint<std::uint32_t>(rest);
            }
            std::optional<std::int32_t> channel;
            if (slot) channel = parse_int<std::int32_t>(tok[i + 1]);
            if (slot && channel) {
                std::string key = std::to_string(*slot);
                bool replaced = false;
                for (auto& [k, v] : rec_.glonass_slots)
                    if (k == key) {
                        v = *channel;
                        replaced = true;
                    }
                if (!replaced) rec_.glonass_slots.emplace_back(std::move(key), *channel);
                i += 2;
            } else {
                i += 1;
            }
        }
    }

    void prepare_lists() {
        for (const auto& t : rec_.obs_types) {
            PreparedList& p = prepared_[static_cast<unsigned char>(t.system)];
            p.codes = &t.codes;
            bool dup = false;
            std::unordered_map<std::uint32_t, std::uint32_t> first;
            for (std::uint32_t k = 0; k < t.codes.size(); ++k)
                if (!first.emplace(t.codes[k], k).second) dup = true;
            if (dup) {
                p.slot.resize(t.codes.size());
                for (std::uint32_t k = 0; k < t.codes.size(); ++k) p.slot[k] = first[t.codes[k]];
            }
        }
    }

    // ---------------------------------------------------------------- data, shared
    // Stores one observation of the satellite being read; a code repeated in the list replaces
    // the value stored earlier for it.
    void store(const PreparedList& list, std::uint32_t k, double value, std::uint8_t ind) {
        const std::uint32_t code = (*list.codes)[k];
        if (!list.slot.empty()) {
            const std::uint32_t s = list.slot[k];
            if (slot_obs_.size() <= s) slot_obs_.resize(list.slot.size(), UINT32_MAX);
            if (slot_obs_[s] != UINT32_MAX) {
                rec_.obs_values[slot_obs_[s]] = value;
                rec_.obs_indicators[slot_obs_[s]] = ind;
                return;
            }
            slot_obs_[s] = static_cast<std::uint32_t>(rec_.obs_values.size());
            touched_.push_back(s);
        }
        rec_.obs_values.push_back(value);
        rec_.obs_codes.push_back(code);
        rec_.obs_indicators.push_back(ind);
    }

    void end_satellite() {
        for (auto s : touched_) slot_obs_[s] = UINT32_MAX;
        touched_.clear();
    }

    // Puts a satellite whose observations are [obs_begin, end) into the epoch being built; a
    // satellite already in the epoch has its observations replaced.
    void commit_satellite(Epoch& epoch, std::uint32_t sat, std::uint32_t obs_begin) {
        const auto obs_end = static_cast<std::uint32_t>(rec_.obs_values.size());
        end_satellite();
        if (obs_end == obs_begin) return;
        for (std::uint32_t i = epoch.sat_begin; i < rec_.sat_entries.size(); ++i) {
            if (rec_.sat_entries[i].sat == sat) {
                rec_.sat_entries[i].obs_begin = obs_begin;
                rec_.sat_entries[i].obs_count = obs_end - obs_begin;
                return;
            }
        }
        rec_.sat_entries.push_back(SatelliteEntry{sat, obs_begin, obs_end - obs_begin});
        ++epoch.sat_count;
    }

    void commit_epoch(Epoch& epoch) {
        if (epoch.sat_count > 0) rec_.epochs.push_back(epoch);
    }

    Epoch new_epoch(const EpochTime& t, std::uint8_t flag) {
        Epoch e;
        e.time = t;
        e.flag = flag;
        e.sat_begin = static_cast<std::uint32_t>(rec_.sat_entries.size());
        e.sat_count = 0;
        return e;
    }

    // ---------------------------------------------------------------- RINEX 3 data
    void read_data_v3() {
        while (lines_.has(pos_)) {
            const std::string_view line = lines_[pos_];
            ++pos_;
            if (line.empty() || line[0] != '>') continue;
            const std::string_view text = trim(line.substr(1));
            if (text.empty()) continue;
            std::string_view tok[8];
            std::size_t count = 0;
            for_each_token(text, [&](std::string_view t) {
                if (count < 8) tok[count] = t;
                ++count;
            });
            if (count < 6) continue;
            auto year = parse_int<std::int32_t>(tok[0]);
            auto month = parse_uint<std::uint32_t>(tok[1]);
            auto day = parse_uint<std::uint32_t>(tok[2]);
            auto hour = parse_uint<std::uint32_t>(tok[3]);
            auto minute = parse_uint<std::uint32_t>(tok[4]);
            auto second = parse_float(tok[5]);
            if (!year || !month || !day || !hour || !minute || !second) continue;
            std::uint8_t flag = 0;
            if (count > 6)
                if (auto f = parse_uint<std::uint8_t>(tok[6])) flag = *f;
            std::uint64_t nsat = 0;
            if (count > 7)
                if (auto c = parse_uint<std::uint64_t>(tok[7])) nsat = *c;

            Epoch epoch = new_epoch(EpochTime{*year, *month, *day, *hour, *minute, *second}, flag);
            for (std::uint64_t s = 0; s < nsat && lines_.has(pos_); ++s) {
                const std::string_view sl = lines_[pos_];
                if (sl.empty() || sl[0] == '>') break;
                ++pos_;
                if (sl.size() < 3) continue;
                read_satellite_v3(epoch, sl);
            }
            commit_epoch(epoch);
        }
    }

    void read_satellite_v3(Epoch& epoch, std::string_view line) {
        char buf[3];
        const std::string_view id = normalise_padded_id(trim(column(line, 0, 3)), buf);
        const char system = id.empty() ? 'G' : id[0];
        const PreparedList& list = prepared_[static_cast<unsigned char>(system) & 0x7F];
        if (static_cast<unsigned char>(system) >= 0x80 || list.codes == nullptr) return;
        const std::uint32_t sat = sats_.get(id);
        const auto obs_begin = static_cast<std::uint32_t>(rec_.obs_values.size());
        const std::string_view area = column_from(line, 3);
        const std::size_t alen = area.size();
        const auto& codes = *list.codes;
        for (std::uint32_t k = 0; k < codes.size(); ++k) {
            const std::size_t off = 16 * static_cast<std::size_t>(k);
            if (off >= alen) break;
            const auto v = parse_float_field(column(area, off, off + 14));
            if (!v || *v == 0.0) continue;
            std::uint8_t lli = 0xF, ssi = 0xF;
            if (alen >= off + 15) {
                const char c = area[off + 14];
                if (c >= '0' && c <= '9') lli = static_cast<std::uint8_t>(c - '0');
            }
            if (alen >= off + 16) {
                const char c = area[off + 15];
                if (c >= '0' && c <= '9') ssi = static_cast<std::uint8_t>(c - '0');
            }
            store(list, k, *v, static_cast<std::uint8_t>(lli << 4 | ssi));
        }
        commit_satellite(epoch, sat, obs_begin);
    }

    // ---------------------------------------------------------------- RINEX 2 data
    void read_data_v2() {
        const PreparedList& glist = prepared_[static_cast<unsigned char>('G')];
        const std::size_t ncodes = glist.codes ? glist.codes->size() : 0;
        const std::size_t lines_per_sat = (ncodes + 4) / 5;
        std::vector<std::uint32_t> sat_list;
        while (lines_.has(pos_)) {
            const std::string_view line = lines_[pos_];
            ++pos_;
            if (line.size() < 26) continue;
            auto year = parse_int<std::int32_t>(trim(column(line, 1, 3)));
            auto month = parse_uint<std::uint32_t>(trim(column(line, 4, 6)));
            auto day = parse_uint<std::uint32_t>(trim(column(line, 7, 9)));
            auto hour = parse_uint<std::uint32_t>(trim(column(line, 10, 12)));
            auto minute = parse_uint<std::uint32_t>(trim(column(line, 13, 15)));
            auto second = parse_float(trim(column(line, 15, 26)));
            if (!year || !month || !day || !hour || !minute || !second) continue;
            const std::int32_t full_year = *year < 80 ? *year + 2000 : *year + 1900;
            std::uint8_t flag = 0;
            if (auto f = parse_uint<std::uint8_t>(trim(column(line, 26, 29)))) flag = *f;
            auto count = parse_uint<std::uint64_t>(trim(column(line, 29, 32)));
            if (!count || *count == 0) continue;
            std::uint64_t remaining = *count;

            sat_list.clear();
            read_v2_sat_entries(line, remaining, sat_list);
            while (remaining > 0 && lines_.has(pos_)) {
                read_v2_sat_entries(lines_[pos_], remaining, sat_list);
                ++pos_;
            }

            Epoch epoch = new_epoch(EpochTime{full_year, *month, *day, *hour, *minute, *second}, flag);
            if (ncodes > 0) {
                for (std::uint32_t sat : sat_list) {
                    const auto obs_begin = static_cast<std::uint32_t>(rec_.obs_values.size());
                    for (std::size_t li = 0; li < lines_per_sat && lines_.has(pos_); ++li, ++pos_) {
                        const std::string_view ol = lines_[pos_];
                        for (std::size_t k = 0; k < 5; ++k) {
                            const std::size_t code_no = 5 * li + k;
                            if (code_no >= ncodes) break;
                            const std::size_t off = 16 * k;
                            if (ol.size() <= off) break;
                            const auto v = parse_float_field(column(ol, off, off + 14));
                            if (!v || *v == 0.0) continue;
                            store(glist, static_cast<std::uint32_t>(code_no), *v, 0xFF);
                        }
                    }
                    commit_satellite(epoch, sat, obs_begin);
                }
            }
            commit_epoch(epoch);
        }
    }

    // Reads min(remaining, 12) three-byte satellite entries from column 32 of a line.
    void read_v2_sat_entries(std::string_view line, std::uint64_t& remaining, std::vector<std::uint32_t>& out) {
        const std::uint64_t take = remaining < 12 ? remaining : 12;
        remaining -= take;
        for (std::uint64_t j = 0; j < take; ++j) {
            const std::size_t a = 32 + 3 * static_cast<std::size_t>(j);
            if (a + 3 > line.size()) continue;
            const std::string_view entry = trim(column(line, a, a + 3));
            if (entry.empty()) continue;
            if (entry.size() == 3) {
                char buf[3];
                out.push_back(sats_.get(normalise_padded_id(entry, buf)));
            } else {
                const std::uint64_t num = parse_uint<std::uint64_t>(entry).value_or(0);
                char buf[24];
                std::string id = "G";
                if (num < 10) id += '0';
                id += std::to_string(num);
                (void)buf;
                out.push_back(sats_.get(id));
            }
        }
    }
};

}  // namespace

Expected<RinexObsData> read_rinex_obs(std::string_view bytes, std::string_view file_name) {
    // Large compressed input is read while it is being decoded.
    const auto stream = ExpandStream::start(bytes);
    if (stream->complete()) {
        const auto& content = stream->content();
        if (!content) return Expected<RinexObsData>::failure(content.error());
        return read_rinex_obs_text(content->view(), file_name);
    }
    LineSource lines(stream->channel(), static_cast<std::size_t>(stream->size_hint()));
    auto rec = ObsReader(lines, static_cast<std::size_t>(stream->size_hint()), file_name).run();
    // A decoding error outweighs whatever the reader made of the text before it.
    if (DecodeError e = stream->finish()) return Expected<RinexObsData>::failure(std::move(*e));
    return rec;
}

Expected<RinexObsData> read_rinex_obs_text(std::string_view text, std::string_view file_name) {
    LineSource lines(text);
    return ObsReader(lines, text.size(), file_name).run();
}

}  // namespace tessora
