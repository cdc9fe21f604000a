// The decoders behind transparent reading of compressed RINEX: gzip (zlib), bzip2 (libbz2), Unix
// compress (LZW, our own) and Hatanaka-compacted RINEX (CRINEX 1.0 and 3.0, our own). Each takes
// the whole encoded input and returns the whole decoded content, or an error text that names the
// encoding and the byte offset where decoding failed. None of them reads past its input, and none
// lets the decoded content grow beyond `limit` bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/buffer.hpp"
#include "common/expected.hpp"

namespace tessora {

// Expanded content larger than this is refused as a probable decompression bomb.
inline constexpr std::uint64_t kDefaultExpandLimit = std::uint64_t{4} << 30;  // 4 GiB

// Signatures at the start of the input.
bool has_gzip_magic(std::string_view bytes);      // 1f 8b
bool has_compress_magic(std::string_view bytes);  // 1f 9d
bool has_bzip2_magic(std::string_view bytes);     // "BZh" and a block-size digit 1-9

// Version of a Hatanaka-compacted text: 1 (CRINEX 1.0, RINEX 2 inside) or 3 (CRINEX 3.0, RINEX 3
// inside) when the first line is a "CRINEX VERS / TYPE" record, 0 otherwise. Any other version
// number in such a record is -1.
int crinex_version(std::string_view text);

// What a decoder writing into a caller's buffer returns: nothing, or the error message.
using DecodeError = std::optional<std::string>;

// gzip, including streams of several members. Zero bytes after the last member (tape padding)
// are accepted; anything else after it is an error.
Expected<Buffer> gunzip(std::string_view in, std::uint64_t limit = kDefaultExpandLimit);
DecodeError gunzip_into(std::string_view in, std::uint64_t limit, Buffer& out);

// bzip2, including concatenated streams.
Expected<Buffer> bunzip2(std::string_view in, std::uint64_t limit = kDefaultExpandLimit);
DecodeError bunzip2_into(std::string_view in, std::uint64_t limit, Buffer& out);

// Unix compress (.Z): LZW with 9 to 16-bit codes, block mode (CLEAR code) or not.
Expected<Buffer> uncompress_lzw(std::string_view in, std::uint64_t limit = kDefaultExpandLimit);
DecodeError uncompress_lzw_into(std::string_view in, std::uint64_t limit, Buffer& out);

// Hatanaka-compacted RINEX to RINEX text. `origin` names the layers the text came out of
// (e.g. "gzip"), for the error messages; empty for a file that was not otherwise compressed.
Expected<Buffer> decode_crinex(std::string_view text, std::uint64_t limit = kDefaultExpandLimit,
                               std::string_view origin = {});
// The same reading the compact text from a channel while its writer produces it: `input` is
// the channel's text complete so far (at least its first line).
DecodeError decode_crinex_into(Channel& input, std::uint64_t limit, std::string_view origin, Buffer& out);
DecodeError decode_crinex_into(std::string_view text, std::uint64_t limit, Buffer& out);

// "<encoding>: <what> at byte offset <offset>"
std::string decode_error(std::string_view encoding, std::string_view what, std::uint64_t offset);
// "<encoding>: the expanded content exceeds the limit of <limit> bytes at byte offset <offset>"
std::string expand_limit_error(std::string_view encoding, std::uint64_t limit, std::uint64_t offset);

}  // namespace tessora
