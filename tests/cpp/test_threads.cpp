// Many analyses at once on real files: every thread gets the serial result, byte for byte. Built
// with -fsanitize=thread (and -DTESSORA_SANITIZER_SMOKE=OFF), it shows the core free of data
// races, the decoding stages that feed a reader included.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cn0/analyze.hpp"
#include "cn0/json.hpp"
#include "common/block_cache.hpp"

using namespace tessora;

namespace {

const std::filesystem::path kData = TESSORA_DATA_DIR;

TEST(Threads, ConcurrentAnalysesOfRealFilesEqualSerialOnes) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"rinex/CRNX/V3/KMS300DNK_R_20221591000_01H_30S_MO.rnx", ""},
        {"gnsstk-data/arlm200a.15o", "gnsstk-data/arlm200a.15n"},
        {"rinex/OBS/V2/delf0010.21o", ""},
        {"compressed/rinex/CRNX/V3/GRAS00FRA_R_20223151700_15M_01S_MO.crx.gz", ""},
        {"compressed/rinex/CRNX/V1/zegv0010.21d", ""},
        {"compressed/georinex/CEBR00ESP_R_20182000000_01D_30S_MO.crx.gz", ""},  // decoded while read
        {"MatRTKLIB/static/base.obs", "MatRTKLIB/static/base.nav"},
    };
    for (const auto& [obs, nav] : pairs)
        if (!std::filesystem::exists(kData / obs)) GTEST_SKIP() << "real data folder not available";
    const AnalysisConfig config = quick_analysis_config(5.0, std::nullopt);
    const auto run = [&](std::size_t i) {
        const std::string nav = pairs[i].second.empty() ? "" : (kData / pairs[i].second).string();
        auto out = analyze_files((kData / pairs[i].first).string(), nav.empty() ? nullptr : &nav, config);
        EXPECT_EQ(out.failure, AnalysisFailure::none) << pairs[i].first << ": " << out.message;
        return to_json(out.result);
    };
    std::vector<std::string> serial;
    for (std::size_t i = 0; i < pairs.size(); ++i) serial.push_back(run(i));

    const unsigned nthreads = 8;
    std::vector<std::vector<std::string>> seen(nthreads, std::vector<std::string>(pairs.size()));
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < nthreads; ++k)
        threads.emplace_back([&, k] {
            std::vector<std::size_t> order(pairs.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), std::mt19937(k));
            for (std::size_t i : order) seen[k][i] = run(i);
        });
    for (auto& th : threads) th.join();
    for (unsigned k = 0; k < nthreads; ++k)
        for (std::size_t i = 0; i < pairs.size(); ++i) EXPECT_TRUE(seen[k][i] == serial[i]) << k << " " << pairs[i].first;
}

}  // namespace

// The arrays of an analysis live in blocks that later analyses, on any thread, take over with
// whatever they held: a result never depends on it.
TEST(Threads, AnalysesOnReusedBlocksEqualOneOnFreshMemory) {
    const auto obs = kData / "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx";
    const std::string nav = (kData / "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx").string();
    if (!std::filesystem::exists(obs) || !std::filesystem::exists(nav)) GTEST_SKIP() << "real data folder not available";
    const AnalysisConfig config = quick_analysis_config(5.0, std::nullopt);
    const auto run = [&] {
        auto out = analyze_files(obs.string(), &nav, config);
        EXPECT_EQ(out.failure, AnalysisFailure::none) << out.message;
        return to_json(out.result);
    };
    // The reference starts with no idle block (it may still reuse its own blocks, e.g. the file
    // bytes' block for a later array).
    BlockCache::release_idle();
    const std::string fresh = run();
    EXPECT_GT(BlockCache::stats().idle_blocks, 0u);
    const std::uint64_t reused = BlockCache::stats().reused;

    BlockCache::fill_idle(0xA5);
    const std::string second = run();
    EXPECT_GT(BlockCache::stats().reused, reused);
    BlockCache::fill_idle(0xFF);  // NaN patterns in the doubles
    const std::string third = run();
    EXPECT_TRUE(second == fresh);
    EXPECT_TRUE(third == fresh);

    BlockCache::fill_idle(0x00);
    std::string a, b;
    std::thread ta([&] { a = run(); }), tb([&] { b = run(); });
    ta.join();
    tb.join();
    EXPECT_TRUE(a == fresh);
    EXPECT_TRUE(b == fresh);
    EXPECT_EQ(BlockCache::stats().busy_blocks, 0u);
}
