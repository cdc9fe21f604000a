// gzip and bzip2 through zlib and libbz2, with the output growing in place and the limit checked
// after every step, so a bomb is refused as soon as it passes the limit.
#include <bzlib.h>
#include <zlib.h>
#ifdef TESSORA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <climits>

#include "archive/decoders.hpp"
#include "common/numbers.hpp"

namespace tessora {

namespace {

// Largest input handed to a library call (their counters are 32-bit), and the output room of
// one call: small enough that a channel's reader sees the text arrive in steps.
constexpr std::size_t kChunk = std::size_t{1} << 30;
constexpr std::size_t kRoom = std::size_t{1} << 18;

template <typename F>
Expected<Buffer> into_new_buffer(F&& decode) {
    Buffer out;
    if (DecodeError e = decode(out)) return Expected<Buffer>::failure(std::move(*e));
    out.shrink_to_fit();
    return out;
}

bool all_zero(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == '\0'; });
}

// Grows `out` so that some spare room exists, never past limit + 1 bytes (one byte more than
// allowed is how a step shows that the content is too large).
void make_room(Buffer& out, std::uint64_t limit) {
    if (out.spare() > 0) return;
    const std::uint64_t cap = out.capacity();
    std::uint64_t want = std::max<std::uint64_t>(cap + cap / 2, cap + 65536);
    want = std::min<std::uint64_t>(want, limit + 1);
    out.reserve(static_cast<std::size_t>(want));
}

// Initial size of the output: the last gzip member's length field when it is plausible, else a
// few times the input.
std::size_t initial_capacity(std::string_view in, std::uint64_t limit, bool gzip) {
    std::uint64_t guess = std::uint64_t{4} * in.size() + 65536;
    if (gzip && in.size() >= 18) {
        const auto* t = reinterpret_cast<const unsigned char*>(in.data() + in.size() - 4);
        const std::uint64_t isize = t[0] | (t[1] << 8) | (t[2] << 16) | (std::uint64_t{t[3]} << 24);
        // Deflate cannot expand more than about 1032 times.
        if (isize >= in.size() / 2 && isize <= std::uint64_t{1032} * in.size() + 65536) guess = isize + 1;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(guess, limit + 1));
}

}  // namespace

std::string decode_error(std::string_view encoding, std::string_view what, std::uint64_t offset) {
    std::string s(encoding);
    s += ": ";
    s += what;
    s += " at byte offset ";
    append_uint(s, offset);
    return s;
}

std::string expand_limit_error(std::string_view encoding, std::uint64_t limit, std::uint64_t offset) {
    std::string what = "the expanded content exceeds the limit of ";
    append_uint(what, limit);
    what += " bytes (a decompression bomb?)";
    return decode_error(encoding, what, offset);
}

bool has_gzip_magic(std::string_view b) {
    return b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0x1f && static_cast<unsigned char>(b[1]) == 0x8b;
}
bool has_compress_magic(std::string_view b) {
    return b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0x1f && static_cast<unsigned char>(b[1]) == 0x9d;
}
bool has_bzip2_magic(std::string_view b) {
    return b.size() >= 4 && b[0] == 'B' && b[1] == 'Z' && b[2] == 'h' && b[3] >= '1' && b[3] <= '9';
}

Expected<Buffer> gunzip(std::string_view in, std::uint64_t limit) {
    return into_new_buffer([&](Buffer& out) { return gunzip_into(in, limit, out); });
}

namespace {

#ifdef TESSORA_HAVE_LIBDEFLATE
// libdeflate decodes a whole member two to three times faster than zlib, but only at once and
// without saying where data went wrong. So members are decoded with it while they decode cleanly
// and fit; the first that does not is left to zlib, which then reports the failure precisely.
// Returns the offset of the first input byte left to zlib (the size of `in` when none is).
std::size_t gunzip_members_fast(std::string_view in, std::uint64_t limit, Buffer& out) {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!d) throw std::bad_alloc();
    struct Free {
        libdeflate_decompressor* d;
        ~Free() { libdeflate_free_decompressor(d); }
    } free_it{d};
    out.reserve(initial_capacity(in, limit, true));
    std::size_t pos = 0;
    while (pos < in.size() && has_gzip_magic(in.substr(pos))) {
        const std::size_t avail =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.spare(), limit + 1 - std::min<std::uint64_t>(out.size(), limit)));
        std::size_t used = 0, produced = 0;
        if (libdeflate_gzip_decompress_ex(d, in.data() + pos, in.size() - pos, out.tail(), avail, &used, &produced) !=
                LIBDEFLATE_SUCCESS ||
            out.size() + produced > limit)
            break;
        out.commit(produced);
        pos += used;
    }
    return pos;
}
#endif

DecodeError gunzip_zlib(std::string_view in, std::size_t start, std::uint64_t limit, Buffer& out);

}  // namespace

DecodeError gunzip_into(std::string_view in, std::uint64_t limit, Buffer& out) {
    std::size_t start = 0;
#ifdef TESSORA_HAVE_LIBDEFLATE
    start = gunzip_members_fast(in, limit, out);
    if (start > 0) {
        const std::string_view rest = in.substr(start);
        if (rest.empty() || all_zero(rest)) return std::nullopt;
        if (!has_gzip_magic(rest))
            return decode_error("gzip", "unexpected data after the end of the compressed stream", start);
    }
#endif
    return gunzip_zlib(in, start, limit, out);
}

namespace {

// zlib from the member at `start` to the end, in steps.
DecodeError gunzip_zlib(std::string_view in, std::size_t start, std::uint64_t limit, Buffer& out) {
    constexpr std::string_view kName = "gzip";
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    struct End {
        z_stream* z;
        ~End() { inflateEnd(z); }
    } end{&zs};

    out.reserve(initial_capacity(in, limit, true));
    const auto* base = reinterpret_cast<const Bytef*>(in.data());
    std::size_t fed = start;  // input handed to zlib so far
    for (;;) {
        if (zs.avail_in == 0 && fed < in.size()) {
            const std::size_t n = std::min(in.size() - fed, kChunk);
            zs.next_in = const_cast<Bytef*>(base + fed);
            zs.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        make_room(out, limit);
        const auto room = static_cast<uInt>(std::min(out.spare(), kRoom));
        zs.next_out = reinterpret_cast<Bytef*>(out.tail());
        zs.avail_out = room;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        out.commit(room - zs.avail_out);
        const std::size_t at = fed - zs.avail_in;  // offset of the next unread input byte
        if (out.size() > limit) return expand_limit_error(kName, limit, at);
        switch (rc) {
            case Z_OK:
                continue;
            case Z_STREAM_END: {
                const std::string_view rest = in.substr(at);
                if (rest.empty() || all_zero(rest)) return std::nullopt;
                if (!has_gzip_magic(rest))
                    return decode_error(kName, "unexpected data after the end of the compressed stream", at);
                inflateReset(&zs);  // next member; next_in/avail_in already point at it
                continue;
            }
            case Z_BUF_ERROR:
                // No progress possible: either the output is full (room is made next round) or
                // the input has run out before the end of the stream.
                if (zs.avail_in == 0 && fed == in.size() && zs.avail_out > 0)
                    return decode_error(kName, "truncated stream: the data end before the end of the compressed stream", in.size());
                continue;
            case Z_MEM_ERROR:
                throw std::bad_alloc();
            default: {
                std::string what = "corrupt data";
                if (zs.msg) {
                    what += " (";
                    what += zs.msg;
                    what += ')';
                }
                return decode_error(kName, what, at);
            }
        }
    }
}

}  // namespace

Expected<Buffer> bunzip2(std::string_view in, std::uint64_t limit) {
    return into_new_buffer([&](Buffer& out) { return bunzip2_into(in, limit, out); });
}

DecodeError bunzip2_into(std::string_view in, std::uint64_t limit, Buffer& out) {
    constexpr std::string_view kName = "bzip2";
    bz_stream bs{};
    if (BZ2_bzDecompressInit(&bs, 0, 0) != BZ_OK) throw std::bad_alloc();
    struct End {
        bz_stream* b;
        ~End() { BZ2_bzDecompressEnd(b); }
    } end{&bs};

    out.reserve(initial_capacity(in, limit, false));
    std::size_t fed = 0;
    for (;;) {
        if (bs.avail_in == 0 && fed < in.size()) {
            const std::size_t n = std::min(in.size() - fed, kChunk);
            bs.next_in = const_cast<char*>(in.data() + fed);
            bs.avail_in = static_cast<unsigned>(n);
            fed += n;
        }
        make_room(out, limit);
        const auto room = static_cast<unsigned>(std::min(out.spare(), kRoom));
        bs.next_out = out.tail();
        bs.avail_out = room;
        const int rc = BZ2_bzDecompress(&bs);
        const unsigned produced = room - bs.avail_out;
        out.commit(produced);
        const std::size_t at = fed - bs.avail_in;
        if (out.size() > limit) return expand_limit_error(kName, limit, at);
        switch (rc) {
            case BZ_OK:
                if (bs.avail_in == 0 && fed == in.size() && bs.avail_out > 0)
                    return decode_error(kName, "truncated stream: the data end before the end of the compressed stream", in.size());
                continue;
            case BZ_STREAM_END: {
                const std::string_view rest = in.substr(at);
                if (rest.empty() || all_zero(rest)) return std::nullopt;
                if (!has_bzip2_magic(rest))
                    return decode_error(kName, "unexpected data after the end of the compressed stream", at);
                BZ2_bzDecompressEnd(&bs);
                const unsigned avail = bs.avail_in;
                char* next = bs.next_in;
                bs = bz_stream{};
                if (BZ2_bzDecompressInit(&bs, 0, 0) != BZ_OK) throw std::bad_alloc();
                bs.next_in = next;
                bs.avail_in = avail;
                continue;
            }
            case BZ_MEM_ERROR:
                throw std::bad_alloc();
            case BZ_DATA_ERROR_MAGIC:
                return decode_error(kName, "corrupt data (bad stream signature)", at);
            case BZ_DATA_ERROR:
                return decode_error(kName, "corrupt data (a block fails its integrity check)", at);
            default:
                return decode_error(kName, "corrupt data", at);
        }
    }
}

}  // namespace tessora
