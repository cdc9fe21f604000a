// A record as an RTCM 3 stream: epochs into MSM messages, with the station and ephemeris messages
// scheduled between them (see encode.hpp).
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "rinex/obs_write_plan.hpp"
#include "rtcm/encode.hpp"
#include "rtcm/frame.hpp"
#include "rtcm/gnss_time.hpp"
#include "rtcm/signals.hpp"

namespace tessora::rtcm {

namespace {

constexpr std::string_view kSystems = "GRESJCI";
constexpr std::int64_t kMoscowAheadMs = 3 * 3600 * 1000;
constexpr std::int64_t kBeidouBehindMs = 14000;
constexpr double kEphemerisLead = 7200.0;
constexpr double kLatestGps = 3.8e9;  // GPS seconds of 2100  // an ephemeris is broadcast from 2 h before its time
// A phase range more than this from its satellite's pseudorange is moved by whole cycles, so that
// it stays within the fine phase field (+-1171 m) whatever the rough range's rounding.
constexpr double kPhaseWindow = 1000.0;

std::int64_t floor_mod(std::int64_t v, std::int64_t m) {
    const std::int64_t r = v % m;
    return r < 0 ? r + m : r;
}

// The multiple-message bit of an MSM payload: bit 54, after the message number, the station and
// the 30 bits of the epoch time (GLONASS: day and time of day).
void clear_multiple_message_bit(std::string& payload) {
    if (payload.size() > 6) payload[6] = static_cast<char>(static_cast<unsigned char>(payload[6]) & ~0x02u);
}

// GPS seconds of an epoch of a record kept in `time_system`.
double gps_of_record_time(const EpochTime& t, std::string_view time_system) {
    const double s = gps_seconds(t);
    if (time_system == "BDT") return s + kBeidouSecondsBehind;
    if (time_system == "GLO" || time_system == "UTC") return s + leap_seconds_at(s + leap_seconds_at(s));
    return s;
}

// What a record code stands for in a message: the kind of observation ('C', 'L', 'D', 'S') and
// the band and attribute; kind 0 when the messages cannot carry it.
struct Signal {
    char kind = 0;
    char code[2] = {0, 0};
};

Signal signal_of(char system, std::string_view name) {
    Signal s;
    std::string r3 = name.size() == 3 ? std::string(name) : rinex3_code_name(name);
    if (r3.empty() && name.size() == 2) {
        // A RINEX 2 code of a band without a fixed attribute: the band's tracking mode X when the
        // system has one, else its first.
        for (char attribute : {'X', '\0'})
            for (unsigned id = 1; id <= 32 && r3.empty(); ++id)
                if (const char* c = msm_signal_code(system, id); c && c[0] == name[1] && (!attribute || c[1] == attribute))
                    r3 = std::string{name[0], c[0], c[1]};
    }
    if (r3.size() != 3 || std::string_view("CLDS").find(r3[0]) == std::string_view::npos) return s;
    if (msm_signal_id(system, r3.substr(1)) == 0) return s;
    s.kind = r3[0];
    s.code[0] = r3[1];
    s.code[1] = r3[2];
    return s;
}

struct Track {
    std::int64_t lock_start = 0;
    std::int64_t last_epoch = 0;
    double cycle_offset = 0.0;
};

struct Scheduled {
    double release;  // GPS s
    std::string sat;
    std::string frame;
};

class Encoder {
public:
    Encoder(const RinexObsData& rec, const NavigationData* nav, const EncodeOptions& o)
        : rec_(rec), o_(o), flavour_(o.msm) {
        for (const auto& [slot, channel] : rec.glonass_slots) channels_[satellite_id('R', static_cast<unsigned>(std::atoi(slot.c_str())))] = channel;
        if (nav) schedule(*nav);
    }

    std::vector<EncodedEpoch> run() {
        std::vector<EncodedEpoch> out;
        for (const Epoch& e : rec_.epochs) {
            if (e.flag > 1 || e.sat_count == 0) continue;  // event records carry no observations
            const double gps = gps_of_record_time(e.time, rec_.time_system);
            // The messages date epochs from 1980 on; a year beyond 2100 is a broken record.
            if (!(gps >= 0.0 && gps < kLatestGps)) continue;
            if ((o_.from && gps < *o_.from) || (o_.until && gps > *o_.until)) continue;
            EncodedEpoch x{gps, e.time, {}};
            const auto t = static_cast<std::int64_t>(std::llround(gps * 1000.0));
            station_messages(t, x.bytes);
            ephemeris_messages(gps, x.bytes);
            observation_messages(e, t, x.bytes);
            out.push_back(std::move(x));
        }
        return out;
    }

private:
    void schedule(const NavigationData& nav) {
        const auto add_kepler = [&](const auto& map, double behind) {
            for (const auto& [sat, list] : map)
                for (const KeplerEphemeris& k : list)
                    ephemerides_.push_back({gps_seconds(k.epoch) + behind - kEphemerisLead, sat,
                                            make_frame(encode_kepler(kepler_message(k)))});
        };
        add_kepler(nav.gps, 0.0);
        add_kepler(nav.galileo, 0.0);
        add_kepler(nav.beidou, kBeidouSecondsBehind);
        for (const auto& [sat, list] : nav.glonass)
            for (const GlonassEphemeris& g : list) {
                const double utc = gps_seconds(g.epoch);
                ephemerides_.push_back({utc + leap_seconds_at(utc + 18.0) - kEphemerisLead, sat,
                                        make_frame(encode_glonass(glonass_message(g)))});
                if (!channels_.count(sat)) channels_[sat] = g.frequency_channel;
            }
        std::stable_sort(ephemerides_.begin(), ephemerides_.end(),
                         [](const Scheduled& a, const Scheduled& b) { return a.release < b.release; });
    }

    void station_messages(std::int64_t t, std::string& out) {
        if (last_station_ && static_cast<double>(t - *last_station_) < o_.station_every * 1000.0) return;
        last_station_ = t;
        if (rec_.approx_position) out += make_frame(encode_1005(o_.station_id, *rec_.approx_position));
        if (!rec_.antenna_type.empty() || !rec_.receiver_type.empty())
            out += make_frame(encode_1033(o_.station_id, rec_.antenna_type, rec_.receiver_type, rec_.receiver_firmware));
    }

    // Ephemerides released since the last epoch (at the first epoch only each satellite's latest),
    // then each satellite's current one again when it is due.
    void ephemeris_messages(double gps, std::string& out) {
        const bool first = !started_;
        started_ = true;
        while (next_ephemeris_ < ephemerides_.size() && ephemerides_[next_ephemeris_].release <= gps) {
            const Scheduled& s = ephemerides_[next_ephemeris_++];
            Current& c = current_[s.sat];
            c.frame = &s.frame;
            c.sent = first ? -kWeekSeconds : gps;  // at the first epoch: sent below
            if (!first) out += s.frame;
        }
        for (auto& [sat, c] : current_)
            if (gps - c.sent >= o_.ephemeris_every) {
                out += *c.frame;
                c.sent = gps;
            }
    }

    void observation_messages(const Epoch& e, std::int64_t t, std::string& out) {
        std::vector<ObsMessage> messages;
        for (auto* s = rec_.sats_begin(e); s != rec_.sats_end(e); ++s) {
            const std::string_view name = rec_.sat_name(*s);
            if (msm_satellite_number(name) == 0) continue;
            ObsMessage& m = message_of(messages, name[0], t);
            add_cells(*s, name, t, m);
        }
        std::sort(messages.begin(), messages.end(), [](const ObsMessage& a, const ObsMessage& b) {
            return kSystems.find(a.system) < kSystems.find(b.system);
        });
        std::vector<std::string> payloads;
        for (ObsMessage& m : messages) {
            m.more = true;
            for (std::string& p : encode_msm(m, flavour_)) payloads.push_back(std::move(p));
        }
        // The epoch's last message closes it, whichever system's it is: a system whose cells
        // the messages cannot carry gives none.
        if (!payloads.empty()) clear_multiple_message_bit(payloads.back());
        for (const std::string& p : payloads) out += make_frame(p);
        for (const ObsMessage& m : messages) previous_[static_cast<unsigned char>(m.system)] = t;
    }

    ObsMessage& message_of(std::vector<ObsMessage>& messages, char system, std::int64_t t) const {
        for (ObsMessage& m : messages)
            if (m.system == system) return m;
        ObsMessage m;
        m.system = system;
        m.station = o_.station_id;
        if (system == 'R') {
            m.clock = EpochClock::glonass_day_ms;
            const std::int64_t moscow = t - std::int64_t{leap_seconds_at(static_cast<double>(t) / 1000.0)} * 1000 + kMoscowAheadMs;
            m.day = static_cast<unsigned>(floor_mod(moscow, kWeekMs) / kDayMs);
            m.time_ms = static_cast<std::uint32_t>(floor_mod(moscow, kDayMs));
        } else {
            m.time_ms = static_cast<std::uint32_t>(floor_mod(system == 'C' ? t - kBeidouBehindMs : t, kWeekMs));
        }
        messages.push_back(std::move(m));
        return messages.back();
    }

    const Signal& signal(char system, std::uint32_t code) {
        auto& table = signals_[static_cast<unsigned char>(system) & 0x7F];
        if (table.empty()) {
            table.resize(rec_.code_names.size());
            for (std::uint32_t i = 0; i < table.size(); ++i) table[i] = signal_of(system, rec_.code_names[i]);
        }
        return table[code];
    }

    void add_cells(const SatelliteEntry& s, std::string_view sat, std::int64_t t, ObsMessage& m);
    void place_phase(ObsCell& c, double lambda, double cycles, double pseudorange, std::int64_t t, Track& track,
                     bool fresh);

    struct Current {
        const std::string* frame = nullptr;
        double sent = 0.0;
    };

    const RinexObsData& rec_;
    EncodeOptions o_;
    int flavour_;
    TextMap<int> channels_;
    std::unordered_map<std::string, Track> tracks_;
    std::array<std::optional<std::int64_t>, 128> previous_{};
    std::array<std::vector<Signal>, 128> signals_{};
    std::vector<Scheduled> ephemerides_;
    std::size_t next_ephemeris_ = 0;
    TextMap<Current> current_;
    std::optional<std::int64_t> last_station_;
    bool started_ = false;
};

void Encoder::add_cells(const SatelliteEntry& s, std::string_view sat, std::int64_t t, ObsMessage& m) {
    const char system = sat[0];
    int channel = kNoChannel;
    if (system == 'R')
        if (auto it = channels_.find(sat); it != channels_.end()) channel = it->second;
    const std::size_t begin = m.cells.size();
    // Phases are placed after every pseudorange of the satellite is known.
    struct Phase {
        std::size_t cell;
        double cycles;
        std::uint8_t lli;
    };
    std::vector<Phase> phases;
    for (std::uint32_t o = s.obs_begin; o < s.obs_begin + s.obs_count; ++o) {
        const Signal& g = signal(system, rec_.obs_codes[o]);
        if (!g.kind) continue;
        std::size_t i = begin;
        while (i < m.cells.size() && !(m.cells[i].code[0] == g.code[0] && m.cells[i].code[1] == g.code[1])) ++i;
        if (i == m.cells.size()) {
            ObsCell c;
            c.sat = std::string(sat);
            c.code[0] = g.code[0];
            c.code[1] = g.code[1];
            c.channel = channel;
            m.cells.push_back(std::move(c));
        }
        ObsCell& c = m.cells[i];
        const double v = rec_.obs_values[o];
        const auto f = carrier_hz(system, g.code[0], channel);
        const double lambda = f ? kSpeedOfLight / *f : kAbsent;
        switch (g.kind) {
            case 'C': if (std::isnan(c.pseudorange)) c.pseudorange = v; break;
            case 'S': if (std::isnan(c.cnr)) c.cnr = v; break;
            case 'D': if (std::isnan(c.range_rate)) c.range_rate = -v * lambda; break;
            case 'L': phases.push_back({i, v, static_cast<std::uint8_t>(rec_.obs_indicators[o] >> 4)}); break;
        }
    }
    // The message's rough range will be the middle of the satellite's pseudoranges.
    double lo = kAbsent, hi = kAbsent;
    for (std::size_t i = begin; i < m.cells.size(); ++i) {
        const double pr = m.cells[i].pseudorange;
        if (std::isnan(pr)) continue;
        lo = std::isnan(lo) ? pr : std::min(lo, pr);
        hi = std::isnan(hi) ? pr : std::max(hi, pr);
    }
    const double reference = (lo + hi) / 2.0;
    for (std::size_t i = begin; i < m.cells.size(); ++i) {
        ObsCell& c = m.cells[i];
        const std::string key = c.sat + c.code[0] + c.code[1];
        const auto [it, fresh] = tracks_.try_emplace(key);
        Track& track = it->second;
        const auto& prev = previous_[static_cast<unsigned char>(system)];
        // Lock restarts on a track that is new or was missing from its system's previous epoch.
        bool restart = fresh || !prev || track.last_epoch != *prev;
        for (const Phase& p : phases)
            if (p.cell == i) {
                const std::uint8_t lli = p.lli == 0xF ? 0 : p.lli;
                restart = restart || (lli & 1);
                c.half_cycle = (lli & 2) != 0;
                const auto f = carrier_hz(system, c.code[0], channel);
                if (f) place_phase(c, kSpeedOfLight / *f, p.cycles, reference, t, track, restart);
            }
        if (restart) track.lock_start = t;
        c.lock_ms = static_cast<double>(t - track.lock_start);
        track.last_epoch = t;
    }
}

// The phase range of a cell, moved by whole cycles when it lies too far from the pseudorange.
// A new offset restarts the lock time, as the decoder then reports a loss of lock.
void Encoder::place_phase(ObsCell& c, double lambda, double cycles, double pseudorange, std::int64_t t, Track& track,
                          bool fresh) {
    if (!std::isfinite(cycles) || !std::isfinite(lambda)) return;
    if (fresh) track.cycle_offset = 0.0;
    double range = (cycles + track.cycle_offset) * lambda;
    if (std::isfinite(pseudorange) && std::fabs(range - pseudorange) > kPhaseWindow) {
        // The phase as it is when it fits, else moved next to the range.
        const bool fits = std::fabs(cycles * lambda - pseudorange) <= kPhaseWindow;
        track.cycle_offset = fits ? 0.0 : std::round((pseudorange - cycles * lambda) / lambda);
        range = (cycles + track.cycle_offset) * lambda;
        track.lock_start = t;
    }
    c.phase_range = range;
}

}  // namespace

Expected<std::vector<EncodedEpoch>> encode_rtcm3(const RinexObsData& rec, const NavigationData* nav,
                                                 const EncodeOptions& options) {
    if (options.msm != 4 && options.msm != 7) return Expected<std::vector<EncodedEpoch>>::failure("msm must be 4 or 7");
    if (options.station_id < 0 || options.station_id > 4095)
        return Expected<std::vector<EncodedEpoch>>::failure("station id must be within 0..4095");
    return Encoder(rec, nav, options).run();
}

}  // namespace tessora::rtcm
