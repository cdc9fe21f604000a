// RINEX 3.05 observation files written from a record, plain or compressed by the file's name.
//
// What a RINEX 3 file can hold of a record is written so that the reader gives the same record
// back, except that the version becomes 3.05 and the file name is the new one:
//  - observation values as F14.3 with their loss-of-lock and signal-strength digits. Values are
//    rounded to three decimals (the field's precision); a value that rounds to 0.000 is left
//    blank, since readers take a zero for "no observation". A value the field cannot hold (NaN,
//    infinities, 10^10 and beyond, -10^9 and below) makes the record unwritable unless
//    `blank_unwritable` is set, which leaves it blank;
//  - two-character codes of RINEX 2 records: the reader names C1, P1, L1, S1, C2, P2, L2, S2, C5,
//    L5 and S5 in RINEX 3 terms already; D1, D2 and D5 follow the phase of their band (D1C, D2C,
//    D5Q). Any other code that is not three characters (C7, S8, a receiver's X1 column, ...)
//    leaves its signal unknown, and the record is refused naming it;
//  - satellites of a system without announced types (RINEX 2 records read every system with the
//    GPS list) get a type list of the codes their observations use, in order of first use;
//  - epoch flags 0 to 6 (any other is refused) and up to 999 satellites an epoch. An event epoch (flags 2 to 5) keeps in
//    the record only the special records that read as observation lines: they are written back
//    as such lines, as many as the count says, so that this reader gives them back;
//  - the header facts the record keeps: marker name, receiver and antenna type, approximate
//    position, interval (when not 0), the time system in TIME OF FIRST OBS, GLONASS slots and
//    frequency numbers. Receiver clock offsets, comments and the other header records are not in
//    the record and are not written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/buffer.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

struct RinexWriteOptions {
    bool blank_unwritable = false;         // leave values beyond F14.3 blank instead of refusing
    std::string program = "tessora_cn0";  // PGM / RUN BY / DATE
    std::string run_by;
    std::string date;  // "YYYYMMDD HHMMSS UTC"; empty: now
};

// How the output is encoded, from the name: ".gz" gzip, ".crx" Hatanaka CRINEX 3.0, ".crx.gz"
// both (letter case ignored); plain text otherwise.
struct OutputEncoding {
    bool crinex = false;
    bool gzip = false;
};
OutputEncoding output_encoding_of(std::string_view path);

// Why a write failed: the record holds something RINEX 3 cannot, or the file system said no.
enum class WriteFailure : std::uint8_t { none, unwritable, io };

struct WriteOutcome {
    WriteFailure failure = WriteFailure::none;
    std::string message;
    explicit operator bool() const { return failure == WriteFailure::none; }
};

// The RINEX 3.05 text of the record (CRINEX 3.0 with `crinex`) appended to `out`.
WriteOutcome write_rinex_obs_text(const RinexObsData& rec, Buffer& out, const RinexWriteOptions& options = {},
                                  bool crinex = false);

// Writes the file at `path`, encoded as its name says. On an I/O failure the message is the C
// library's text and " (os error N)", and no partial file is left behind.
WriteOutcome write_rinex_obs_file(const RinexObsData& rec, std::string_view path,
                                  const RinexWriteOptions& options = {});

}  // namespace tessora
