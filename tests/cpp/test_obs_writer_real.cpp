// The writer on the real observation files of the data folder's manifest: each record RINEX 3
// can hold reads back the same, epoch flags and GLONASS slots included, from the text and from
// the compact form through the project's decoder. Skipped without the data folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive/decoders.hpp"
#include "common/file.hpp"
#include "obs_record_checks.hpp"
#include "rinex/obs_reader.hpp"
#include "rinex/obs_writer.hpp"

using namespace tessora;

namespace {

const std::filesystem::path kData = TESSORA_DATA_DIR;

std::vector<std::string> manifest_observation_files() {
    std::ifstream in(kData / "MANIFEST.tsv");
    std::vector<std::string> out;
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) out.push_back(line.substr(0, line.find('\t')));
    return out;
}

RinexObsData read_back(std::string_view text) {
    auto r = read_rinex_obs(text, "back.rnx");
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r.value()) : RinexObsData{};
}

}  // namespace

TEST(ObsWriterRealFiles, EveryHoldableRecordReadsBackTheSame) {
    const auto files = manifest_observation_files();
    if (files.empty()) GTEST_SKIP() << "no data folder at " << kData;
    std::size_t written = 0, refused = 0, with_events = 0;
    for (const auto& name : files) {
        SCOPED_TRACE(name);
        std::string bytes, error;
        ASSERT_TRUE(read_whole_file((kData / name).string(), bytes, error)) << error;
        auto rec = read_rinex_obs(bytes, file_name_of(name));
        ASSERT_TRUE(rec.ok());
        RinexWriteOptions options;
        options.date = "20240101 000000 UTC";
        Buffer text, compact;
        const WriteOutcome r = write_rinex_obs_text(*rec, text, options);
        if (!r) {
            // Only codes whose signal RINEX 2 leaves open, and flags RINEX does not define.
            EXPECT_TRUE(r.message.find("has no RINEX 3 equivalent") != std::string::npos ||
                        r.message.find("which RINEX does not define") != std::string::npos)
                << r.message;
            ++refused;
            continue;
        }
        ASSERT_TRUE(write_rinex_obs_text(*rec, compact, options, true));
        expect_same(*rec, read_back(text.view()));
        auto expanded = decode_crinex(compact.view());
        ASSERT_TRUE(expanded.ok()) << expanded.error();
        expect_same(*rec, read_back(expanded->view()));
        ++written;
        for (const auto& e : rec->epochs) with_events += e.flag != 0;
    }
    EXPECT_GE(written, files.size() * 8 / 10) << refused << " refused";
    EXPECT_GT(with_events, 0u);
}
