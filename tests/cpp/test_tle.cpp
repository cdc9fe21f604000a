// Counting GNSS element sets and running the `curl` child of the catalogue download.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tle/tle.hpp"

using namespace tessora;
using namespace std::chrono_literals;

namespace {

// Element sets in the catalogue's layout (69-character lines with valid checksums).
const std::string kGps =
    "GPS BIIR-2  (PRN 13)\n"
    "1 24876U 97035A   24061.50512346  .00000040  00000+0  00000+0 0  9992\n"
    "2 24876  55.6140 107.3960 0045690  52.3250 308.1330  2.00563381194478\n";
const std::string kGlonass =
    "COSMOS 2425 (716)\n"
    "1 29672U 06062A   24061.21934567  .00000040  00000+0  00000+0 0  9992\n"
    "2 29672  64.8812 359.1425 0009870 254.8731 104.9911  2.13103245135410\n";
const std::string kGsat =
    "GSAT0101 (GALILEO-PFM)\n"
    "1 37846U 11060A   24061.71234411  .00000040  00000+0  00000+0 0  9994\n"
    "2 37846  57.0812  12.3456 0003210 315.4410  44.5122  1.70475832 75533\n";
const std::string kGalileo =
    "GALILEO 26 (E12)\n"
    "1 43055U 17079B   24061.33317012  .00000040  00000+0  00000+0 0  9996\n"
    "2 43055  56.9043 131.9876 0001822 301.1123  58.8012  1.70474436 39704\n";
const std::string kBeidou =
    "BEIDOU-3 M1\n"
    "1 43001U 17069A   24061.82256033  .00000040  00000+0  00000+0 0  9995\n"
    "2 43001  55.0871 166.0043 0005643   8.1122 351.9402  1.86230979 45174\n";
const std::string kQzss =
    "QZS-1 (MICHIBIKI-1)\n"
    "1 37158U 10045A   24061.11111222  .00000040  00000+0  00000+0 0  9990\n"
    "2 37158  41.3020 143.1234 0747210 270.2300 270.1100  1.00278800 48558\n";

const std::string kL1 = "1 24876U 97035A   24061.50512346  .00000040  00000+0  00000+0 0  9992";
const std::string kL2 = "2 24876  55.6140 107.3960 0045690  52.3250 308.1330  2.00563381194478";

std::string with_name(const std::string& name) { return name + "\n" + kL1 + "\n" + kL2 + "\n"; }

// Line 2 with the 11-character mean-motion field (columns 52-62) replaced.
std::string line2_with_mean_motion(const std::string& field) { return kL2.substr(0, 52) + field + kL2.substr(63); }

}  // namespace

TEST(TleIdentifier, CatalogueNamesOfEachConstellation) {
    EXPECT_EQ(tle_satellite_id("GPS BIIR-2  (PRN 13)"), "G13");
    EXPECT_EQ(tle_satellite_id("GPS BIIF-1  (PRN 25)"), "G25");
    EXPECT_EQ(tle_satellite_id("NAVSTAR 43 (PRN 5)"), "G05");
    EXPECT_EQ(tle_satellite_id("GPS BIII-1  (PRN-04)"), "G04");  // separators before the digits are skipped
    EXPECT_EQ(tle_satellite_id("GSAT0101 (GALILEO-PFM)"), "E30");  // 101 mod 36 = 29, + 1
    EXPECT_EQ(tle_satellite_id("GSAT0102 (GALILEO-FM2)"), "E31");  // 102 mod 36 = 30, + 1
    EXPECT_EQ(tle_satellite_id("GSAT0071"), "E36");                // 71 mod 36 = 35, + 1
    EXPECT_EQ(tle_satellite_id("GSAT0072"), "E01");                // 72 mod 36 = 0, + 1
    EXPECT_EQ(tle_satellite_id("GALILEO 26 (E12)"), "E12");
    EXPECT_EQ(tle_satellite_id("GSAT0210 (E01)"), "E01");  // the PRN in "(E" wins over the build number
    EXPECT_EQ(tle_satellite_id("QZS-1 (MICHIBIKI-1)"), "J01");
    EXPECT_EQ(tle_satellite_id("MICHIBIKI-2"), "J02");
    EXPECT_EQ(tle_satellite_id("QZS-1R (QZS-1R)"), "J01");
    EXPECT_EQ(tle_satellite_id("COSMOS 2425 (716)"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("GLONASS-K 1 (COSMOS 2471)"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("BEIDOU-3 M1"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("NAVSTAR 43 (USA 132)"), std::nullopt);  // no PRN
    EXPECT_EQ(tle_satellite_id("IRNSS-1A"), std::nullopt);
    EXPECT_EQ(tle_satellite_id(""), std::nullopt);
}

TEST(TleIdentifier, RulesFallThroughWhenTheirDigitsFail) {
    // PRN without digits: GPS gives nothing, the later rules still apply.
    EXPECT_EQ(tle_satellite_id("GPS BIIR-2  (PRN)"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("QZS-4 GPS (PRN)"), "J04");
    // PRN beyond a signed 32-bit integer does not read as a number.
    EXPECT_EQ(tle_satellite_id("GPS (PRN 2147483647)"), "G2147483647");
    EXPECT_EQ(tle_satellite_id("GPS (PRN 2147483648)"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("QZS-4 GPS (PRN 99999999999)"), "J04");
    EXPECT_EQ(tle_satellite_id("GPS (PRN 00)"), "G00");
    // Galileo: "(E" not directly followed by digits falls to the build number, then onwards.
    EXPECT_EQ(tle_satellite_id("GSAT0203 (EXTRA)"), "E24");  // 203 mod 36 = 23
    EXPECT_EQ(tle_satellite_id("GALILEO (E2147483648) GSAT0101"), "E30");
    EXPECT_EQ(tle_satellite_id("GALILEO-FOC FM1"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("GALILEO QZS-3"), "J03");
    EXPECT_EQ(tle_satellite_id("GSAT (QZS-2)"), "J02");
    // Earlier rules win over later ones.
    EXPECT_EQ(tle_satellite_id("GPS BIIR-2 (PRN 13) COSMOS 2"), "G13");
    EXPECT_EQ(tle_satellite_id("GLONASS GSAT0101"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("COSMOS 2 GALILEO (E12)"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("BEIDOU QZS-1"), std::nullopt);
    EXPECT_EQ(tle_satellite_id("GALILEO BEIDOU QZS-1"), std::nullopt);
}

TEST(TleMeanMotion, FieldOfLineTwo) {
    EXPECT_DOUBLE_EQ(tle_mean_motion(kL2), 2.00563381);
    EXPECT_EQ(tle_mean_motion(line2_with_mean_motion("           ")), 0.0);
    EXPECT_EQ(tle_mean_motion(line2_with_mean_motion(" 0.00000000")), 0.0);
    EXPECT_EQ(tle_mean_motion(line2_with_mean_motion(" 2.0O563381")), 0.0);
    EXPECT_DOUBLE_EQ(tle_mean_motion(line2_with_mean_motion("-1.00278800")), -1.002788);
    EXPECT_EQ(tle_mean_motion(kL2.substr(0, 62)), 0.0);  // line cut inside the field
    EXPECT_EQ(tle_mean_motion(""), 0.0);
}

TEST(TleCount, CatalogueOfAllConstellations) {
    const std::string all = kGps + kGlonass + kGsat + kGalileo + kBeidou + kQzss;
    // GPS, GSAT0101 (E30), GALILEO 26 (E12) and QZS-1 count; GLONASS and BeiDou do not.
    EXPECT_EQ(parse_tle_content(all), 4u);
    EXPECT_EQ(parse_tle_content(kGps), 1u);
    EXPECT_EQ(parse_tle_content(kGlonass), 0u);
    EXPECT_EQ(parse_tle_content(kBeidou), 0u);
    EXPECT_EQ(parse_tle_content(kGsat), 1u);
    EXPECT_EQ(parse_tle_content(kGalileo), 1u);
    EXPECT_EQ(parse_tle_content(kQzss), 1u);
    EXPECT_EQ(parse_tle_content(kGps + kGps + kGps), 3u);  // duplicates count each time
    EXPECT_EQ(parse_tle_content(with_name("GPS BIIR-2  (PRN)")), 0u);
}

TEST(TleCount, TooFewLinesCountNothing) {
    EXPECT_EQ(parse_tle_content(""), 0u);
    EXPECT_EQ(parse_tle_content("\n\n\n"), 0u);
    EXPECT_EQ(parse_tle_content(kL1 + "\n" + kL2 + "\n"), 0u);
    // Name and line 1 only, or lines 1 and 2 without a name line.
    EXPECT_EQ(parse_tle_content("GPS BIIR-2  (PRN 13)\n" + kL1), 0u);
    // Without a final line break the last set is complete all the same.
    EXPECT_EQ(parse_tle_content("GPS BIIR-2  (PRN 13)\n" + kL1 + "\n" + kL2), 1u);
}

TEST(TleCount, StrayLinesShiftTheGrouping) {
    EXPECT_EQ(parse_tle_content(kGps + "\n" + kQzss), 2u);
    EXPECT_EQ(parse_tle_content("\n" + kGps + "   \n\n" + kGalileo), 2u);
    EXPECT_EQ(parse_tle_content("# GNSS catalogue\n" + kGps), 1u);
    // A missing name line pairs the previous line 2 as a name: "2 24876 ..." has no identifier,
    // so the set is lost, and the grouping continues three lines later.
    EXPECT_EQ(parse_tle_content(kGps + kL1 + "\n" + kL2 + "\n" + kQzss), 2u);
    // Lines 1 and 2 swapped do not form a set.
    EXPECT_EQ(parse_tle_content("GPS BIIR-2  (PRN 13)\n" + kL2 + "\n" + kL1 + "\n"), 0u);
}

TEST(TleCount, MeanMotionMustBePositive) {
    const std::string name = "GPS BIIR-2  (PRN 13)\n" + kL1 + "\n";
    EXPECT_EQ(parse_tle_content(name + line2_with_mean_motion(" 0.00000000") + "\n"), 0u);
    EXPECT_EQ(parse_tle_content(name + line2_with_mean_motion("           ") + "\n"), 0u);
    EXPECT_EQ(parse_tle_content(name + line2_with_mean_motion("-2.00563381") + "\n"), 0u);
    EXPECT_EQ(parse_tle_content(name + line2_with_mean_motion("  garbage  ") + "\n"), 0u);
    EXPECT_EQ(parse_tle_content(name + line2_with_mean_motion(" 0.00000001") + "\n"), 1u);
}

TEST(TleCount, NamesAreUpperCasedAndTrimmed) {
    EXPECT_EQ(parse_tle_content(with_name("gps biir-2  (prn 13)")), 1u);
    EXPECT_EQ(parse_tle_content(with_name("Galileo 26 (e12)")), 1u);
    EXPECT_EQ(parse_tle_content(with_name("qzs-1 (michibiki-1)")), 1u);
    // Full upper-casing: "ß" becomes "SS" and the long s "ſ" becomes "S", so these names match
    // "QZS" and "GPS" only after upper-casing.
    EXPECT_EQ(parse_tle_content(with_name("qzß-2")), 1u);
    EXPECT_EQ(parse_tle_content(with_name("gpſ (prn 7)")), 1u);
    EXPECT_EQ(parse_tle_content(with_name("\t GPS BIIR-2  (PRN 13) \xC2\xA0")), 1u);
    // Carriage returns and surrounding white space on the element lines.
    EXPECT_EQ(parse_tle_content("GPS BIIR-2  (PRN 13)\r\n" + kL1 + "\r\n" + kL2 + "\r\n"), 1u);
    EXPECT_EQ(parse_tle_content("GPS BIIR-2  (PRN 13)\n  " + kL1 + "\t\n " + kL2 + "  \n"), 1u);
}

TEST(TleCount, ShortAndCutLinesNeverCrash) {
    const std::string name = "GPS BIIR-2  (PRN 13)\n";
    EXPECT_EQ(parse_tle_content(name + kL1 + "\n" + kL2.substr(0, 62) + "\n"), 0u);
    EXPECT_EQ(parse_tle_content(name + kL1 + "\n" + kL2.substr(0, 63) + "\n"), 1u);
    EXPECT_EQ(parse_tle_content(name + kL1.substr(0, 40) + "\n" + kL2 + "\n"), 0u);
    EXPECT_EQ(parse_tle_content(name + "1\n2\n"), 0u);
    // A two-byte character ending exactly at column 63: the cut moves back to column 62 and the
    // field " 2.0056338" still reads.
    EXPECT_EQ(parse_tle_content(name + kL1 + "\n" + kL2.substr(0, 52) + " 2.0056338\xC3\xA9" + "94478\n"), 1u);
    // A two-byte character starting at column 52 leaves no number.
    EXPECT_EQ(parse_tle_content(name + kL1 + "\n" + kL2.substr(0, 52) + "\xC3\xA9" + kL2.substr(53) + "\n"), 0u);
    // Invalid UTF-8 in the name is repaired, the name still identifies the satellite.
    EXPECT_EQ(parse_tle_content(with_name("GPS\xFF BIIR-2 (PRN 13)\xE2\x82")), 1u);
    EXPECT_EQ(parse_tle_content(std::string("\xFF\xFE\x00\x01", 4)), 0u);

    // Every prefix of a catalogue: complete sets count as they would in full, partial ones never
    // more than the whole.
    const std::string sets[] = {kGps, kGlonass, kGsat, kGalileo, kBeidou, kQzss};
    const unsigned counted[] = {1, 0, 1, 1, 0, 1};
    std::string all;
    for (const auto& s : sets) all += s;
    std::size_t boundary = 0, complete = 0;
    unsigned expected = 0;
    for (std::size_t cut = 0; cut <= all.size(); ++cut) {
        const std::uint64_t n = parse_tle_content(std::string_view(all).substr(0, cut));
        EXPECT_LE(n, 4u);
        if (complete < 6 && cut == boundary + sets[complete].size()) {
            boundary = cut;
            expected += counted[complete++];
            EXPECT_EQ(n, expected) << "after " << complete << " sets";
        }
    }
    EXPECT_EQ(complete, 6u);
}

// ------------------------------------------------------------------ child process and download

namespace {

std::size_t open_fd_count() {
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

bool no_children_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

Expected<ChildOutput> sh(const std::string& script, std::chrono::milliseconds timeout = 20s,
                         std::size_t max_output = kTleMaxOutput) {
    return run_and_capture({"sh", "-c", script}, timeout, max_output);
}

// A temporary directory holding a fake `curl`, put first on PATH for the test's lifetime.
class FakeCurl {
public:
    explicit FakeCurl(const std::string& body) {
        char tmpl[] = "/tmp/tle_fake_curl_XXXXXX";
        dir_ = mkdtemp(tmpl);
        const std::string path = dir_ + "/curl";
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        const char* old = getenv("PATH");
        old_path_ = old ? old : "";
        setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
    }
    ~FakeCurl() {
        setenv("PATH", old_path_.c_str(), 1);
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_, old_path_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True when the process is gone or only a zombie waiting for its new parent.
bool process_ended(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return true;
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

}  // namespace

TEST(TleChild, ExitStatusAndBothStreams) {
    const std::size_t fds = open_fd_count();
    auto ok = sh("printf out; printf err >&2");
    ASSERT_TRUE(ok.ok()) << ok.error();
    EXPECT_TRUE(ok->exited);
    EXPECT_EQ(ok->exit_status, 0);
    EXPECT_EQ(ok->out, "out");
    EXPECT_EQ(ok->err, "err");

    auto failed = sh("printf partial; exit 3");
    ASSERT_TRUE(failed.ok());
    EXPECT_TRUE(failed->exited);
    EXPECT_EQ(failed->exit_status, 3);

    auto killed = sh("kill -9 $$");
    ASSERT_TRUE(killed.ok());
    EXPECT_FALSE(killed->exited);

    // Standard input is /dev/null, not ours.
    auto in = sh("readlink /proc/$$/fd/0; cat");
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(in->out, "/dev/null\n");

    EXPECT_FALSE(run_and_capture({"tessora-no-such-program"}, 5s, 1024).ok());
    EXPECT_FALSE(run_and_capture({}, 5s, 1024).ok());
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_TRUE(no_children_left());
}

TEST(TleChild, LargeOutputOnBothStreamsDoesNotBlock) {
    // 2 MB on standard error first: a reader waiting on standard output alone would deadlock.
    auto r = sh("head -c 2000000 /dev/zero >&2; head -c 10000000 /dev/zero; head -c 1000000 /dev/zero >&2");
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->out.size(), 10000000u);
    EXPECT_EQ(r->err.size(), 3000000u);
    EXPECT_TRUE(no_children_left());
}

TEST(TleChild, OutputLimit) {
    const std::size_t fds = open_fd_count();
    auto at = sh("head -c 100000 /dev/zero", 20s, 100000);
    ASSERT_TRUE(at.ok());
    EXPECT_EQ(at->out.size(), 100000u);
    EXPECT_FALSE(sh("head -c 100001 /dev/zero", 20s, 100000).ok());
    EXPECT_FALSE(sh("head -c 100001 /dev/zero >&2", 20s, 100000).ok());
    // An endless writer is stopped at the limit, long before the time-out.
    const auto start = std::chrono::steady_clock::now();
    auto endless = sh("yes", 60s, 1 << 20);
    EXPECT_FALSE(endless.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_TRUE(no_children_left());
}

TEST(TleChild, TimeOutKillsTheWholeProcessGroup) {
    const std::size_t fds = open_fd_count();
    char tmpl[] = "/tmp/tle_child_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const auto start = std::chrono::steady_clock::now();
    auto r = sh("sleep 30 & echo $! > " + dir + "/pid; wait", 300ms);
    EXPECT_FALSE(r.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    const pid_t grandchild = static_cast<pid_t>(std::stol(read_file(dir + "/pid")));
    for (int i = 0; i < 100 && !process_ended(grandchild); ++i) usleep(20000);
    EXPECT_TRUE(process_ended(grandchild));

    // A child that closes both streams and keeps running is bound by the same deadline.
    const auto start2 = std::chrono::steady_clock::now();
    EXPECT_FALSE(sh("exec >&- 2>&-; sleep 30", 300ms).ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start2, 10s);

    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_TRUE(no_children_left());
    unlink((dir + "/pid").c_str());
    rmdir(dir.c_str());
}

TEST(TleAccept, UsableCatalogueOnly) {
    ChildOutput run;
    run.exited = true;
    run.exit_status = 0;
    run.out = kGps + kBeidou;
    EXPECT_TRUE(accept_tle_output(run));
    run.exit_status = 6;  // curl: could not resolve host
    EXPECT_FALSE(accept_tle_output(run));
    run.exit_status = 0;
    run.exited = false;
    EXPECT_FALSE(accept_tle_output(run));
    run.exited = true;
    run.out = kGps + "\xFF";
    EXPECT_FALSE(accept_tle_output(run));
    run.out = "<html><body><h1>Error 1 of 2 </h1>Retry in 2 minutes</body></html>\n";
    EXPECT_FALSE(accept_tle_output(run));
    run.out = kBeidou + kGlonass;  // well-formed, but nothing that counts
    EXPECT_FALSE(accept_tle_output(run));
    run.out = "";
    EXPECT_FALSE(accept_tle_output(run));
}

TEST(TleDownload, SlowSourceIsAbandonedAfterTheTimeOut) {
    const std::size_t fds = open_fd_count();
    char tmpl[] = "/tmp/tle_pid_XXXXXX";
    const std::string piddir = mkdtemp(tmpl);
    std::string body =
        "echo \"$@\" >> '" + piddir + "/log'\n"
        "case \"$4\" in\n"
        "  *gp.php*) sleep 30 & echo $! > '" + piddir + "/pid'; wait ;;\n"
        "  *) printf '%s' '" + kGps + kQzss + "' ;;\n"
        "esac\n";
    FakeCurl curl(body);
    const auto start = std::chrono::steady_clock::now();
    auto text = download_tle(500ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(text.ok()) << text.error();
    EXPECT_EQ(text.value(), kGps + kQzss);
    EXPECT_LT(elapsed, 10s);
    EXPECT_EQ(read_file(piddir + "/log"),
              "-sL --connect-timeout 10 https://celestrak.org/NORAD/elements/gp.php?GROUP=gnss&FORMAT=tle\n"
              "-sL --connect-timeout 10 https://celestrak.org/NORAD/elements/gnss.txt\n");
    const pid_t sleeper = static_cast<pid_t>(std::stol(read_file(piddir + "/pid")));
    for (int i = 0; i < 100 && !process_ended(sleeper); ++i) usleep(20000);
    EXPECT_TRUE(process_ended(sleeper));
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_TRUE(no_children_left());
    const std::string cmd = "rm -rf '" + piddir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(TleDownload, AllSourcesTimingOutFail) {
    FakeCurl curl("exec sleep 30\n");
    const auto start = std::chrono::steady_clock::now();
    auto text = download_tle(200ms);
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error(), "Failed to download TLE from all sources");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(no_children_left());
}
