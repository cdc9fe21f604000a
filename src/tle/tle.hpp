// Two-line element sets (TLE) of the navigation constellations: counting the element sets that can
// be attributed to a navigation satellite, and fetching the GNSS catalogue with the `curl` program.
//
// An element set is a name line followed by line 1 and line 2 in the fixed-column TLE layout
// (69 characters each). Only the name (which gives the satellite identifier) and the mean motion
// of line 2 (revolutions per day, columns 52-62) decide whether a set is counted.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.hpp"

namespace tessora {

// ------------------------------------------------------------------ counting

// Satellite identifier ("G13", "E30", "J01") derived from an upper-cased catalogue name, or
// nothing when the name belongs to no counted constellation (GLONASS and BeiDou included).
std::optional<std::string> tle_satellite_id(std::string_view upper_name);

// Mean motion of a line 2 (columns 52-62, white space trimmed); 0.0 when the field does not parse
// or the line is too short to hold it.
double tle_mean_motion(std::string_view line2);

// Number of element sets in `text` that have a satellite identifier and a positive mean motion.
// Never fails: malformed, short or cut lines simply do not count.
std::uint64_t parse_tle_content(std::string_view text);

// ------------------------------------------------------------------ download

// The catalogue sources, tried in this order.
inline constexpr std::array<std::string_view, 3> kTleSources = {
    "https://celestrak.org/NORAD/elements/gp.php?GROUP=gnss&FORMAT=tle",
    "https://celestrak.org/NORAD/elements/gnss.txt",
    "https://celestrak.com/NORAD/elements/gnss.txt",
};

inline constexpr std::chrono::milliseconds kTleDownloadTimeout{120'000};
inline constexpr std::size_t kTleMaxOutput = std::size_t{64} << 20;  // 64 MiB

inline constexpr std::string_view kTleDownloadFailed = "Failed to download TLE from all sources";

// What a finished child process left behind.
struct ChildOutput {
    bool exited = false;  // ended by exit() rather than a signal
    int exit_status = -1;
    std::string out;
    std::string err;
};

// Starts argv[0] (looked up through PATH, no shell) with standard input on /dev/null and standard
// output and standard error on pipes, drains both pipes together until the child ends, and reaps
// it. Fails (with the child killed and reaped) when it cannot be started, when it runs longer than
// `timeout`, or when either stream grows beyond `max_output` bytes. The child runs in its own
// process group so that a kill also reaches anything it started.
Expected<ChildOutput> run_and_capture(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                      std::size_t max_output);

// True when a finished `curl` run delivered a usable catalogue: exit status 0, UTF-8 output with
// "1 " and "2 " in it and at least one element set that counts.
bool accept_tle_output(const ChildOutput& run);

// Fetches the GNSS catalogue: `curl -sL --connect-timeout 10 URL` for each source in turn, each
// once, and returns the first accepted output unchanged. Fails with kTleDownloadFailed.
Expected<std::string> download_tle(std::chrono::milliseconds timeout = kTleDownloadTimeout,
                                   std::size_t max_output = kTleMaxOutput);

}  // namespace tessora
