// The block cache behind the large arrays, and whole files read into its blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/block_cache.hpp"
#include "common/file.hpp"
#include "common/large_pages.hpp"

using namespace tessora;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::filesystem::path temp_file(const std::string& name, const std::string& content) {
    const auto path = std::filesystem::temp_directory_path() / ("tessora_block_cache_" + name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
        if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    return path;
}

}  // namespace

TEST(BlockCache, BlockSizesCoverTheRequestWithLittleToSpare) {
    std::size_t previous = 0;
    for (std::size_t bytes = 1; bytes < 3000 * kMiB; bytes += bytes / 7 + 12345) {
        const std::size_t size = BlockCache::block_size(bytes);
        EXPECT_GE(size, bytes);
        EXPECT_EQ(size % BlockCache::kGranule, 0u) << bytes;
        // At most a quarter more than the request rounded up to whole granules.
        const std::size_t granules = (bytes + BlockCache::kGranule - 1) / BlockCache::kGranule;
        EXPECT_LE(size, granules * BlockCache::kGranule + granules * BlockCache::kGranule / 4) << bytes;
        EXPECT_GE(size, previous) << bytes;
        previous = size;
    }
    EXPECT_EQ(BlockCache::block_size(5 * kMiB), 6 * kMiB);
    EXPECT_EQ(BlockCache::block_size(17 * kMiB), 20 * kMiB);  // 9 granules round up to 10
}

TEST(BlockCache, GivenBackBlockServesTheNextRequestOfItsClass) {
    BlockCache::release_idle();
    const BlockCacheStats before = BlockCache::stats();
    EXPECT_EQ(before.idle_blocks, 0u);

    void* a = BlockCache::acquire(9 * kMiB);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % BlockCache::kGranule, 0u);
    std::memset(a, 0x11, 9 * kMiB);  // the whole block is writable
    EXPECT_EQ(BlockCache::stats().busy_blocks, before.busy_blocks + 1);
    BlockCache::release(a, 9 * kMiB);
    EXPECT_EQ(BlockCache::stats().idle_blocks, 1u);
    EXPECT_EQ(BlockCache::stats().idle_bytes, BlockCache::block_size(9 * kMiB));

    // 9 and 10 MiB are one class: the block comes back.
    void* b = BlockCache::acquire(10 * kMiB);
    EXPECT_EQ(b, a);
    EXPECT_EQ(BlockCache::stats().reused, before.reused + 1);
    EXPECT_EQ(BlockCache::stats().idle_blocks, 0u);
    // Another class maps a block of its own.
    void* c = BlockCache::acquire(40 * kMiB);
    EXPECT_NE(c, b);
    EXPECT_EQ(BlockCache::stats().mapped, before.mapped + 2);
    BlockCache::release(b, 10 * kMiB);
    BlockCache::release(c, 40 * kMiB);
    EXPECT_EQ(BlockCache::release_idle(), BlockCache::block_size(10 * kMiB) + BlockCache::block_size(40 * kMiB));
    EXPECT_EQ(BlockCache::stats().idle_blocks, 0u);
    EXPECT_EQ(BlockCache::stats().busy_blocks, before.busy_blocks);
}

TEST(BlockCache, IdleMemoryStaysWithinItsBound) {
    BlockCache::release_idle();
    // Untouched blocks: address space only.
    std::vector<void*> blocks;
    const std::size_t each = 60 * kMiB;
    for (std::size_t i = 0; i < 2 * BlockCache::kMaxIdleBytes / each; ++i) blocks.push_back(BlockCache::acquire(each));
    for (void* p : blocks) BlockCache::release(p, each);
    const BlockCacheStats st = BlockCache::stats();
    EXPECT_LE(st.idle_bytes, BlockCache::kMaxIdleBytes);
    EXPECT_GT(st.idle_bytes, BlockCache::kMaxIdleBytes - BlockCache::block_size(each) - 1);
    // The most recently given back blocks are the ones kept.
    void* again = BlockCache::acquire(each);
    EXPECT_EQ(again, blocks.back());
    BlockCache::release(again, each);
    BlockCache::release_idle();
}

TEST(BlockCache, BlockUnusedForLongIsUnmapped) {
    BlockCache::release_idle();
    void* old = BlockCache::acquire(30 * kMiB);
    BlockCache::release(old, 30 * kMiB);
    for (std::uint64_t i = 0; i <= BlockCache::kMaxIdleAge; ++i) {
        void* p = BlockCache::acquire(5 * kMiB);
        BlockCache::release(p, 5 * kMiB);
    }
    const BlockCacheStats st = BlockCache::stats();
    EXPECT_EQ(st.idle_blocks, 1u);  // the 5 MiB block only
    EXPECT_EQ(st.idle_bytes, BlockCache::block_size(5 * kMiB));
    const std::uint64_t mapped = st.mapped;
    void* fresh = BlockCache::acquire(30 * kMiB);
    EXPECT_EQ(BlockCache::stats().mapped, mapped + 1);
    BlockCache::release(fresh, 30 * kMiB);
    BlockCache::release_idle();
}

TEST(BlockCache, LargeVectorsTakeTheirStorageFromTheCache) {
    BlockCache::release_idle();
    const std::uint64_t reused = BlockCache::stats().reused;
    std::vector<double> expect(3'000'000);
    for (std::size_t i = 0; i < expect.size(); ++i) expect[i] = static_cast<double>(i) * 0.5;
    {
        LargeVector<double> v(expect.begin(), expect.end());
        EXPECT_EQ(BlockCache::stats().busy_blocks, 1u);
    }
    EXPECT_EQ(BlockCache::stats().idle_blocks, 1u);
    BlockCache::fill_idle(0xEE);
    LargeVector<double> w(expect.size());  // value-initialised, whatever the block held
    EXPECT_EQ(BlockCache::stats().reused, reused + 1);
    for (double x : w) ASSERT_EQ(x, 0.0);
    w.assign(expect.begin(), expect.end());
    EXPECT_TRUE(std::equal(w.begin(), w.end(), expect.begin()));
    // Small vectors stay on the heap.
    LargeVector<double> small(1000, 1.0);
    EXPECT_EQ(BlockCache::stats().busy_blocks, 1u);
}

TEST(BlockCache, WholeFilesReadIntoBlocksEqualTheStringReading) {
    std::mt19937 rng(7);
    std::string big(9 * kMiB + 12345, '\0');
    for (char& c : big) c = static_cast<char>('a' + rng() % 26);
    for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
             {"empty", ""}, {"small", "2.11 OBSERVATION DATA\n"}, {"big", big}}) {
        const auto path = temp_file(name, content);
        BlockCache::fill_idle(0x5A);
        std::string as_string, err1, err2;
        FileBytes as_bytes;
        ASSERT_TRUE(read_whole_file(path.string(), as_string, err1)) << err1;
        ASSERT_TRUE(read_whole_file(path.string(), as_bytes, err2)) << err2;
        EXPECT_EQ(as_string, content) << name;
        EXPECT_TRUE(as_bytes.view() == content) << name;
        std::filesystem::remove(path);
    }
    std::string s, e1, e2;
    FileBytes b;
    EXPECT_FALSE(read_whole_file("/nonexistent/tessora/file.obs", s, e1));
    EXPECT_FALSE(read_whole_file("/nonexistent/tessora/file.obs", b, e2));
    EXPECT_EQ(e1, e2);
    EXPECT_NE(e1.find("(os error 2)"), std::string::npos) << e1;
    EXPECT_FALSE(read_whole_file(std::string_view("a\0b", 3), b, e2));
    EXPECT_EQ(e2, "file name contained an unexpected NUL byte");
}

TEST(Threads, BlockCacheNeverHandsOneBlockToTwoUsers) {
    BlockCache::release_idle();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([k, &bad] {
            std::mt19937 rng(static_cast<unsigned>(k));
            const std::size_t sizes[] = {5 * kMiB, 9 * kMiB, 17 * kMiB};
            for (int i = 0; i < 60; ++i) {
                const std::size_t n = sizes[rng() % 3];
                auto* p = static_cast<unsigned char*>(BlockCache::acquire(n));
                const auto mark = static_cast<unsigned char>(k * 61 + i);
                for (std::size_t j = 0; j < n; j += 4096) p[j] = mark;
                std::this_thread::yield();
                for (std::size_t j = 0; j < n; j += 4096)
                    if (p[j] != mark) {
                        ++bad;
                        break;
                    }
                BlockCache::release(p, n);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(BlockCache::stats().busy_blocks, 0u);
    EXPECT_GT(BlockCache::stats().reused, 0u);
    BlockCache::release_idle();
}
