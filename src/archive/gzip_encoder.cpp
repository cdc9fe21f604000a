// gzip output: through libdeflate when the build has it (a whole buffer at once, three to four
// times faster than zlib at the same level), else through zlib's deflate, the output growing in
// place. Large input is cut at line ends into parts compressed on threads of their own, each a
// gzip member: a gzip file may hold several, and readers take them as one text.
#include <zlib.h>
#ifdef TESSORA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "archive/encoders.hpp"

namespace tessora {

namespace {

[[maybe_unused]] bool libdeflate_compress(std::string_view in, Buffer& out, int level) {
#ifdef TESSORA_HAVE_LIBDEFLATE
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (!c) throw std::bad_alloc();
    struct Free {
        libdeflate_compressor* c;
        ~Free() { libdeflate_free_compressor(c); }
    } free_it{c};
    const std::size_t bound = libdeflate_gzip_compress_bound(c, in.size());
    out.reserve_more(bound);
    const std::size_t n = libdeflate_gzip_compress(c, in.data(), in.size(), out.tail(), bound);
    if (n == 0) return false;
    out.commit(n);
    return true;
#else
    (void)in, (void)out, (void)level;
    return false;
#endif
}

void zlib_compress(std::string_view in, Buffer& out, int level) {
    z_stream z{};
    // 15 window bits plus 16: a gzip wrapper instead of zlib's own.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
    struct End {
        z_stream* z;
        ~End() { deflateEnd(z); }
    } end{&z};
    out.reserve_more(in.size() / 8 + 1024);
    std::size_t pos = 0;
    constexpr std::size_t kStep = std::size_t{1} << 30;  // zlib's counters are 32-bit
    for (;;) {
        const std::size_t take = std::min(in.size() - pos, kStep);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + pos));
        z.avail_in = static_cast<uInt>(take);
        const int flush = pos + take == in.size() ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            out.reserve_more(std::size_t{1} << 16);
            const std::size_t room = std::min<std::size_t>(out.spare(), UINT_MAX);
            z.next_out = reinterpret_cast<Bytef*>(out.tail());
            z.avail_out = static_cast<uInt>(room);
            rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) throw std::bad_alloc();
            out.commit(room - z.avail_out);
        } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        pos += take;
        if (flush == Z_FINISH) return;
    }
}

void compress_member(std::string_view in, Buffer& out, int level) {
    if (in.size() < (std::size_t{1} << 32) && libdeflate_compress(in, out, level)) return;
    zlib_compress(in, out, level);
}

constexpr std::size_t kMinPart = std::size_t{8} << 20;
constexpr unsigned kMaxParts = 4;

// `in` cut into about `n` parts of whole lines.
std::vector<std::string_view> split_lines(std::string_view in, std::size_t n) {
    std::vector<std::string_view> parts;
    std::size_t begin = 0;
    for (std::size_t i = 1; i < n && begin < in.size(); ++i) {
        std::size_t end = std::max(begin, in.size() * i / n);
        const void* nl = std::memchr(in.data() + end, '\n', in.size() - end);
        end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - in.data()) + 1 : in.size();
        parts.push_back(in.substr(begin, end - begin));
        begin = end;
    }
    if (begin < in.size() || parts.empty()) parts.push_back(in.substr(begin));
    return parts;
}

}  // namespace

void gzip_compress(std::string_view in, Buffer& out, int level) {
    const std::size_t n = std::min<std::size_t>({std::max(1u, std::thread::hardware_concurrency()), kMaxParts,
                                                 in.size() / kMinPart});
    if (n <= 1) return compress_member(in, out, level);
    const std::vector<std::string_view> parts = split_lines(in, n);
    std::vector<Buffer> outs(parts.size());
    std::vector<std::exception_ptr> errors(parts.size());
    std::vector<std::thread> threads;
    auto run = [&](std::size_t i) {
        try {
            compress_member(parts[i], i == 0 ? out : outs[i], level);
        } catch (...) {
            errors[i] = std::current_exception();
        }
    };
    try {
        for (std::size_t i = 1; i < parts.size(); ++i) threads.emplace_back(run, i);
    } catch (...) {
        for (auto& t : threads) t.join();
        throw;
    }
    run(0);
    for (auto& t : threads) t.join();
    for (const auto& e : errors)
        if (e) std::rethrow_exception(e);
    for (std::size_t i = 1; i < outs.size(); ++i) out.append(outs[i].view());
}

}  // namespace tessora
