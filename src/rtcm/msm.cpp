// Multiple Signal Messages 4 to 7 of every system.
//
// Layout: a header (message number, station, epoch time, multiple-message bit, masks), then one
// block per field for all satellites, then one block per field for all cells. A cell is a
// (satellite, signal) pair whose bit is set in the cell mask; the cell mask has one bit per
// satellite and signal of the two masks, satellite-major, at most 64 bits.
#include <algorithm>
#include <array>

#include "rtcm/bits.hpp"
#include "rtcm/messages.hpp"
#include "rtcm/msm_layout.hpp"

namespace tessora::rtcm {

namespace {

// The masks of a message: at most 64 satellites, 32 signals and 64 cells, so fixed arrays hold
// them and decoding a message allocates nothing but its cells.
struct Header {
    std::array<std::uint8_t, 64> sats{};     // satellite numbers 1..64
    std::array<std::uint8_t, 32> signals{};  // signal numbers 1..32
    std::array<std::uint8_t, 64> cell_sat{}, cell_signal{};  // indices into sats and signals
    unsigned n_sats = 0, n_signals = 0, n_cells = 0;
};

// Masks after the epoch fields; false when they cannot describe a message.
bool read_masks(BitReader& r, Header& h) {
    const std::uint64_t sat_mask = r.u(64);
    const auto sig_mask = static_cast<std::uint32_t>(r.u(32));
    for (unsigned i = 0; i < 64; ++i)
        if (sat_mask >> (63 - i) & 1) h.sats[h.n_sats++] = static_cast<std::uint8_t>(i + 1);
    for (unsigned i = 0; i < 32; ++i)
        if (sig_mask >> (31 - i) & 1) h.signals[h.n_signals++] = static_cast<std::uint8_t>(i + 1);
    const std::size_t n = std::size_t{h.n_sats} * h.n_signals;
    if (n > 64 || !r.has(n)) return false;
    const std::uint64_t cells = r.u(static_cast<unsigned>(n));
    for (unsigned k = 0; k < n; ++k)
        if (cells >> (n - 1 - k) & 1) {
            h.cell_sat[h.n_cells] = static_cast<std::uint8_t>(k / h.n_signals);
            h.cell_signal[h.n_cells++] = static_cast<std::uint8_t>(k % h.n_signals);
        }
    return !r.overrun();
}

struct SatelliteData {
    double rough_ms = kAbsent;  // rough range, ms
    double rough_rate = kAbsent;  // m/s
    int channel = kNoChannel;
};

void read_satellites(BitReader& r, const Header& h, const MsmLayout& L, char system, SatelliteData* sd) {
    const unsigned n = h.n_sats;
    unsigned whole[64];
    for (unsigned i = 0; i < n; ++i) whole[i] = static_cast<unsigned>(r.u(8));
    if (L.rates)
        for (unsigned i = 0; i < n; ++i) {
            const auto info = static_cast<unsigned>(r.u(4));
            // GLONASS: the frequency channel + 7; 14 and 15 say that it is not given.
            if (system == 'R' && info <= 13) sd[i].channel = static_cast<int>(info) - 7;
        }
    for (unsigned i = 0; i < n; ++i) {
        const auto fraction = static_cast<double>(r.u(10)) * kP2_10;
        if (whole[i] != 255) sd[i].rough_ms = whole[i] + fraction;  // 255 ms: no range
    }
    if (L.rates)
        for (unsigned i = 0; i < n; ++i) {
            const std::int64_t rate = r.s(14);
            if (rate != -8192) sd[i].rough_rate = static_cast<double>(rate);
        }
}

// Fine values of one field for all cells; `invalid` (the most negative value) gives kAbsent.
void read_fine(BitReader& r, unsigned n, unsigned bits, double scale, double* v) {
    const std::int64_t invalid = -(std::int64_t{1} << (bits - 1));
    for (unsigned i = 0; i < n; ++i) {
        const std::int64_t raw = r.s(bits);
        v[i] = raw == invalid ? kAbsent : static_cast<double>(raw) * scale;
    }
}

std::size_t satellite_bits(const MsmLayout& L) { return L.rates ? 36 : 18; }
std::size_t cell_bits(const MsmLayout& L) {
    return L.pr_bits + L.phase_bits + L.lock_bits + 1 + L.cnr_bits + (L.rates ? 15 : 0);
}

void read_cells(BitReader& r, const Header& h, const MsmLayout& L, const SatelliteData* sd, ObsMessage& m) {
    const unsigned n = h.n_cells;
    double pr[64], phase[64], lock[64], cnr[64], rate[64];
    bool half[64];
    read_fine(r, n, L.pr_bits, L.pr_scale, pr);
    read_fine(r, n, L.phase_bits, L.phase_scale, phase);
    for (unsigned i = 0; i < n; ++i)
        lock[i] = L.extended ? lock_ms_10(static_cast<unsigned>(r.u(10))) : lock_ms_4(static_cast<unsigned>(r.u(4)));
    for (unsigned i = 0; i < n; ++i) half[i] = r.u(1) != 0;
    for (unsigned i = 0; i < n; ++i) {
        const std::uint64_t raw = r.u(L.cnr_bits);
        cnr[i] = raw == 0 ? kAbsent : static_cast<double>(raw) * L.cnr_scale;  // 0: not measured
    }
    if (L.rates)
        read_fine(r, n, 15, 0.0001, rate);
    else
        std::fill(rate, rate + n, kAbsent);

    m.cells.reserve(n);
    for (unsigned i = 0; i < n; ++i) {
        const unsigned si = h.cell_sat[i], gi = h.cell_signal[i];
        const char* code = msm_signal_code(m.system, h.signals[gi]);
        if (!code) continue;  // a signal number the system does not define
        const SatelliteData& s = sd[si];
        ObsCell& c = m.cells.emplace_back();
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
    }
}

}  // namespace

bool decode_msm(std::string_view payload, ObsMessage& m) {
    BitReader r(payload);
    m.cells.clear();
    m.type = static_cast<int>(r.u(12));
    m.system = msm_system(m.type);
    const int flavour = msm_flavour(m.type);
    if (m.system == 0 || flavour < 4 || flavour > 7) return false;
    const MsmLayout L = layout_of(flavour);
    m.station = static_cast<int>(r.u(12));
    m.clock = EpochClock::week_ms;
    m.day = 7;
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
    if (!read_masks(r, h)) return false;
    if (!r.has(h.n_sats * satellite_bits(L) + h.n_cells * cell_bits(L))) return false;
    SatelliteData sd[64];
    read_satellites(r, h, L, m.system, sd);
    read_cells(r, h, L, sd, m);
    if (r.overrun() || m.time_ms >= (m.system == 'R' ? 86401000u : 604800000u)) {
        m.cells.clear();
        return false;
    }
    return true;
}

std::optional<ObsMessage> decode_msm(std::string_view payload) {
    ObsMessage m;
    if (!decode_msm(payload, m)) return std::nullopt;
    return m;
}

}  // namespace tessora::rtcm
