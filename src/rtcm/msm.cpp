// Multiple Signal Messages 4 to 7 of every system.
//
// Layout: a header (message number, station, epoch time, multiple-message bit, masks), then one
// block per field for all satellites, then one block per field for all cells. A cell is a
// (satellite, signal) pair whose bit is set in the cell mask; the cell mask has one bit per
// satellite and signal of the two masks, satellite-major, at most 64 bits.
#include <bit>

#include "rtcm/bits.hpp"
#include "rtcm/messages.hpp"
#include "rtcm/msm_layout.hpp"

namespace tessora::rtcm {

namespace {

struct Header {
    std::vector<unsigned> sats;     // satellite numbers 1..64
    std::vector<unsigned> signals;  // signal numbers 1..32
    std::vector<std::pair<unsigned, unsigned>> cells;  // (satellite index, signal index)
};

// Masks after the epoch fields; false when they cannot describe a message.
bool read_masks(BitReader& r, Header& h) {
    const std::uint64_t sat_mask = r.u(64);
    const auto sig_mask = static_cast<std::uint32_t>(r.u(32));
    for (unsigned i = 0; i < 64; ++i)
        if (sat_mask >> (63 - i) & 1) h.sats.push_back(i + 1);
    for (unsigned i = 0; i < 32; ++i)
        if (sig_mask >> (31 - i) & 1) h.signals.push_back(i + 1);
    const std::size_t n = h.sats.size() * h.signals.size();
    if (n > 64 || !r.has(n)) return false;
    for (unsigned s = 0; s < h.sats.size(); ++s)
        for (unsigned g = 0; g < h.signals.size(); ++g)
            if (r.u(1)) h.cells.emplace_back(s, g);
    return !r.overrun();
}

struct SatelliteData {
    double rough_ms = kAbsent;  // rough range, ms
    double rough_rate = kAbsent;  // m/s
    int channel = kNoChannel;
};

std::vector<SatelliteData> read_satellites(BitReader& r, const Header& h, const MsmLayout& L, char system) {
    const std::size_t n = h.sats.size();
    std::vector<SatelliteData> sd(n);
    std::vector<unsigned> whole(n);
    for (auto& w : whole) w = static_cast<unsigned>(r.u(8));
    if (L.rates)
        for (auto& s : sd) {
            const auto info = static_cast<unsigned>(r.u(4));
            // GLONASS: the frequency channel + 7; 14 and 15 say that it is not given.
            if (system == 'R' && info <= 13) s.channel = static_cast<int>(info) - 7;
        }
    for (std::size_t i = 0; i < n; ++i) {
        const auto fraction = static_cast<double>(r.u(10)) * kP2_10;
        if (whole[i] != 255) sd[i].rough_ms = whole[i] + fraction;  // 255 ms: no range
    }
    if (L.rates)
        for (auto& s : sd) {
            const std::int64_t rate = r.s(14);
            if (rate != -8192) s.rough_rate = static_cast<double>(rate);
        }
    return sd;
}

// Fine values of one field for all cells; `invalid` (the most negative value) gives kAbsent.
std::vector<double> read_fine(BitReader& r, std::size_t n, unsigned bits, double scale) {
    std::vector<double> v(n);
    const std::int64_t invalid = -(std::int64_t{1} << (bits - 1));
    for (auto& x : v) {
        const std::int64_t raw = r.s(bits);
        x = raw == invalid ? kAbsent : static_cast<double>(raw) * scale;
    }
    return v;
}

std::size_t satellite_bits(const MsmLayout& L) { return L.rates ? 36 : 18; }
std::size_t cell_bits(const MsmLayout& L) {
    return L.pr_bits + L.phase_bits + L.lock_bits + 1 + L.cnr_bits + (L.rates ? 15 : 0);
}

void read_cells(BitReader& r, const Header& h, const MsmLayout& L, const std::vector<SatelliteData>& sd,
                ObsMessage& m) {
    const std::size_t n = h.cells.size();
    const std::vector<double> pr = read_fine(r, n, L.pr_bits, L.pr_scale);
    const std::vector<double> phase = read_fine(r, n, L.phase_bits, L.phase_scale);
    std::vector<double> lock(n);
    for (auto& x : lock) x = L.extended ? lock_ms_10(static_cast<unsigned>(r.u(10))) : lock_ms_4(static_cast<unsigned>(r.u(4)));
    std::vector<bool> half(n);
    for (std::size_t i = 0; i < n; ++i) half[i] = r.u(1) != 0;
    std::vector<double> cnr(n);
    for (auto& x : cnr) {
        const std::uint64_t raw = r.u(L.cnr_bits);
        x = raw == 0 ? kAbsent : static_cast<double>(raw) * L.cnr_scale;  // 0: not measured
    }
    const std::vector<double> rate = L.rates ? read_fine(r, n, 15, 0.0001) : std::vector<double>(n, kAbsent);

    for (std::size_t i = 0; i < n; ++i) {
        const auto [si, gi] = h.cells[i];
        const char* code = msm_signal_code(m.system, h.signals[gi]);
        if (!code) continue;  // a signal number the system does not define
        const SatelliteData& s = sd[si];
        ObsCell c;
        c.sat = satellite_id(m.system, h.sats[si]);
        c.code[0] = code[0];
        c.code[1] = code[1];
        if (!std::isnan(s.rough_ms)) {
            if (!std::isnan(pr[i])) c.pseudorange = (s.rough_ms + pr[i]) * kMetresPerMs;
            if (!std::isnan(phase[i])) c.phase_range = (s.rough_ms + phase[i]) * kMetresPerMs;
        }
        if (!std::isnan(s.rough_rate) && !std::isnan(rate[i])) c.range_rate = s.rough_rate + rate[i];
        c.cnr = cnr[i];
        c.lock_ms = lock[i];
        c.half_cycle = half[i];
        c.channel = s.channel;
        m.cells.push_back(std::move(c));
    }
}

}  // namespace

std::optional<ObsMessage> decode_msm(std::string_view payload) {
    BitReader r(payload);
    ObsMessage m;
    m.type = static_cast<int>(r.u(12));
    m.system = msm_system(m.type);
    const int flavour = (m.type - 1070) % 10;
    if (m.system == 0 || flavour < 4 || flavour > 7) return std::nullopt;
    const MsmLayout L = layout_of(flavour);
    m.station = static_cast<int>(r.u(12));
    if (m.system == 'R') {
        m.clock = EpochClock::glonass_day_ms;
        m.day = static_cast<unsigned>(r.u(3));
        m.time_ms = static_cast<std::uint32_t>(r.u(27));
    } else {
        m.time_ms = static_cast<std::uint32_t>(r.u(30));
    }
    m.more = r.u(1) != 0;
    r.skip(18);  // issue of data station, reserved, clock steering, external clock, smoothing
    Header h;
    if (!read_masks(r, h)) return std::nullopt;
    if (!r.has(h.sats.size() * satellite_bits(L) + h.cells.size() * cell_bits(L))) return std::nullopt;
    const std::vector<SatelliteData> sd = read_satellites(r, h, L, m.system);
    read_cells(r, h, L, sd, m);
    if (r.overrun() || m.time_ms >= (m.system == 'R' ? 86401000u : 604800000u)) return std::nullopt;
    return m;
}

}  // namespace tessora::rtcm
