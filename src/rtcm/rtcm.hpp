// RTCM 3 streams as the project's records: observations as a RinexObsData, broadcast ephemerides
// as a NavigationData, exactly as the RINEX readers would give them for the same data, so that
// every analysis takes either.
//
// Decoded: MSM4..MSM7 of GPS, GLONASS, Galileo, SBAS, QZSS, BeiDou and NavIC; legacy 1002, 1004,
// 1010 and 1012; station messages 1005..1008 and 1033; ephemerides 1019, 1020, 1042, 1044, 1045
// and 1046. Every other message is counted and passed over.
//
// The observation messages give only the time of the week (or of the day). The week comes from a
// date the caller gives, else from the ephemerides in the stream, else from the file's
// modification time; the recording says which (`week_source`).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"
#include "rtcm/frame.hpp"

namespace tessora::rtcm {

struct RtcmOptions {
    // A GPS time known to lie within three days of the recording (a day of the recording).
    std::optional<EpochTime> date;
    // The file's modification time (Unix seconds), taken as near the recording's end.
    std::optional<double> file_time;
    std::string file_name;    // the record's file_name, and its marker name when nothing better
    std::string marker_name;  // overrides the station number as the marker name
};

struct RtcmRecording {
    RinexObsData obs;
    std::optional<NavigationData> nav;              // when the stream held an ephemeris
    std::map<int, std::uint64_t> message_counts;    // message number -> frames with a good checksum
    std::uint64_t skipped_bytes = 0;                // bytes outside good frames
    std::uint64_t crc_failures = 0;                 // candidate frames with a wrong checksum
    std::uint64_t malformed = 0;                    // good frames whose message did not decode
    std::string week_source;                        // "date", "ephemeris", "file time" or "none"
    std::optional<int> station_id;
    std::optional<double> antenna_height;           // 1006: ARP above the marker (m)
};

// A decoder fed with bytes as they arrive (a file read at once, or a network stream in pieces).
class RtcmDecoder {
public:
    explicit RtcmDecoder(RtcmOptions options = {});
    ~RtcmDecoder();
    RtcmDecoder(RtcmDecoder&&) noexcept;
    RtcmDecoder& operator=(RtcmDecoder&&) noexcept;

    // Decodes the frames completed by `bytes`; a frame cut at the end waits for the next call.
    void feed(std::string_view bytes);
    // The end of the stream: a frame still cut short is given up (its bytes count as skipped).
    void finish();
    // The stream decoded so far as a recording. Feeding may go on afterwards.
    RtcmRecording recording() const;
    // The epochs completed since the last take (every epoch before the latest, and the latest
    // once its last message arrived), as a recording whose record holds only them; the decoder
    // then forgets them, so that a stream of months keeps only what is still arriving. The
    // navigation data (with `with_nav`) is every ephemeris so far. Loss-of-lock indicators run on
    // across takes.
    RtcmRecording take(bool with_nav = true);
    // The same for the completed epochs before GPS time `before` only (an hour's file, say).
    RtcmRecording take_before(const EpochTime& before, bool with_nav = true);
    // Distinct ephemerides received so far (a new one changes the navigation data).
    std::uint64_t ephemerides() const;
    // Sets the date the week comes from (a live stream's host date, as the days go by).
    void set_date(const EpochTime& date);

    const FrameStats& frame_stats() const;
    const std::map<int, std::uint64_t>& message_counts() const;
    std::uint64_t malformed() const;
    std::size_t pending_bytes() const;  // bytes of a frame still cut short

private:
    struct State;
    std::unique_ptr<State> s_;
};

// Decodes a whole stream at once.
RtcmRecording decode_rtcm3(std::string_view bytes, const RtcmOptions& options = {});

// Whether the first bytes of a file are an RTCM 3 stream: two frames whose checksums hold and
// few bytes between them. RINEX text (ASCII, never the 0xD3 preamble) never is.
bool looks_like_rtcm3(std::string_view head);

}  // namespace tessora::rtcm
