// Station messages: the antenna reference point (1005, 1006 with the antenna height) and the
// descriptors of the antenna (1007, 1008) and of the receiver (1033).
#include "common/text.hpp"
#include "rtcm/bits.hpp"
#include "rtcm/messages.hpp"

namespace tessora::rtcm {

namespace {

// A counted text of the descriptors: a count byte, then that many characters. The messages carry
// ASCII; anything else (or a control character) becomes '?', so that the text is always valid.
std::string read_text(BitReader& r) {
    const auto n = static_cast<std::size_t>(r.u(8));
    if (!r.has(8 * n)) {
        r.skip(8 * n);
        return {};
    }
    std::string s;
    s.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(r.u(8));
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return std::string(trim(s));
}

void read_position(BitReader& r, StationMessage& m, bool with_height) {
    r.skip(6 + 4);  // reference frame realisation year; GPS, GLONASS, Galileo, reference-station flags
    const double x = static_cast<double>(r.s(38)) * 0.0001;
    r.skip(2);  // single receiver oscillator, reserved
    const double y = static_cast<double>(r.s(38)) * 0.0001;
    r.skip(2);  // quarter-cycle indicator
    const double z = static_cast<double>(r.s(38)) * 0.0001;
    m.arp = std::array<double, 3>{x, y, z};
    if (with_height) m.antenna_height = static_cast<double>(r.u(16)) * 0.0001;
}

}  // namespace

std::optional<StationMessage> decode_station(std::string_view payload) {
    BitReader r(payload);
    const int type = static_cast<int>(r.u(12));
    StationMessage m;
    m.station = static_cast<int>(r.u(12));
    switch (type) {
        case 1005:
        case 1006:
            read_position(r, m, type == 1006);
            break;
        case 1007:
        case 1008:
        case 1033:
            m.antenna = read_text(r);
            r.skip(8);  // antenna setup id
            if (type == 1007) break;
            m.antenna_serial = read_text(r);
            if (type == 1008) break;
            m.receiver = read_text(r);
            m.firmware = read_text(r);
            m.receiver_serial = read_text(r);
            break;
        default:
            return std::nullopt;
    }
    if (r.overrun()) return std::nullopt;
    return m;
}

}  // namespace tessora::rtcm
