// The encoders of written files: gzip (zlib) and Hatanaka compaction of RINEX 3 observations
// (CRINEX 3.0), the inverses of the decoders in decoders.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/buffer.hpp"

namespace tessora {

// One gzip member holding `in`, appended to `out`; throws std::bad_alloc when memory runs out.
void gzip_compress(std::string_view in, Buffer& out, int level = 6);

// Writes a CRINEX 3.0 text epoch by epoch, keeping the state the decoder rebuilds from it:
//  - the epoch line, with the satellite list from column 41, as a text difference from the
//    previous one (a blank keeps the old character, "&" stands for a new blank). The first line,
//    the first after an event, and a line equal to the one before are written whole: a line
//    beginning with ">" starts every satellite afresh;
//  - an empty receiver clock offset line (the record keeps no clock offsets);
//  - per satellite: one field per observation type of its system, each followed by a blank.
//    A value starts an arc with "3&" and its value; the values after it are written as their
//    differences of growing order, up to the third. A blank observation, or a satellite missing
//    from the epoch before, ends the arc. After the fields come the loss-of-lock and
//    signal-strength characters of all types as a text difference from the satellite's previous
//    ones (blank for blank observations), written whole when the satellite starts afresh.
// Event epochs (flags 2 to 5) are written whole, followed by their special records as they stand.
class Crinex3Encoder {
public:
    explicit Crinex3Encoder(Buffer& out) : out_(out) {}

    // The two CRINEX records, then the RINEX header (whole lines) as it stands.
    void header(std::string_view rinex_header, std::string_view program, std::string_view date);
    // The line of an epoch of observations: `head` holds its first 35 columns (up to the
    // satellite count), `ids` the satellites' identifiers, three characters each, in order.
    void epoch(std::string_view head, std::string_view ids);
    // The next satellite of the epoch: `n` values in units of 0.001 (present[k] says whether
    // value k is there; at most 13 digits) and 2n indicator characters.
    void satellite(std::string_view id, std::uint32_t n, const std::int64_t* values, const std::uint8_t* present,
                   const char* flags);
    // An event epoch's line (its first 35 columns) and its special records (whole lines).
    void event(std::string_view head, std::string_view records);

private:
    static constexpr int kOrder = 3;
    struct Arc {
        std::int64_t d[kOrder + 1] = {};  // the last value and its differences
        std::uint8_t level = 0;
        bool active = false;
    };
    struct Satellite {
        std::uint32_t ntypes = 0;
        std::uint64_t last_epoch = 0;
        std::uint32_t arc0 = 0;
        std::uint32_t flag0 = 0;
    };

    Satellite& satellite_state(std::string_view id, std::uint32_t n);
    void write_line(std::string_view line);
    std::int64_t next_difference(Arc& arc, std::int64_t value);

    Buffer& out_;
    std::string epoch_;  // the previous epoch line
    bool have_epoch_ = false;
    std::uint64_t data_epoch_ = 0;
    std::unordered_map<std::uint32_t, std::uint32_t> index_;
    std::vector<Satellite> sats_;
    std::vector<Arc> arcs_;
    std::vector<char> flags_;
    std::string line_;  // scratch
};

}  // namespace tessora
