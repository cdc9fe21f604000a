// Whole-file reading and the file name of a path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessora {

// The bytes of a whole file. A large file's bytes live in a block of the block cache, which is
// already faulted in when an earlier analysis gave it back; they are never zero-filled first.
class FileBytes {
public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    FileBytes(FileBytes&& o) noexcept : p_(o.p_), size_(o.size_), cap_(o.cap_) { o.p_ = nullptr, o.size_ = o.cap_ = 0; }
    FileBytes& operator=(FileBytes&& o) noexcept;
    ~FileBytes() { free_storage(); }

    std::string_view view() const { return {p_ ? p_ : "", size_}; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    char* data() { return p_; }

    // Room for `n` bytes in total, the first size() kept; throws std::bad_alloc.
    void reserve(std::size_t n);
    // The size, at most capacity().
    void set_size(std::size_t n) { size_ = n; }
    void clear() {
        free_storage();
        p_ = nullptr, size_ = cap_ = 0;
    }

private:
    void free_storage() noexcept;

    char* p_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// Reads the whole file at `path` into `out`. On failure returns false and sets `error` to the C
// library's text for the error number followed by " (os error N)", or to "file name contained an
// unexpected NUL byte" for a path with a NUL character.
bool read_whole_file(std::string_view path, std::string& out, std::string& error);
// The same into FileBytes (for the readers, which only look at the bytes).
bool read_whole_file(std::string_view path, FileBytes& out, std::string& error);

// Writes `bytes` as the whole file at `path` (created or truncated). On failure returns false,
// sets `error` as read_whole_file does and removes what was written.
bool write_whole_file(std::string_view path, std::string_view bytes, std::string& error);

// Last normal component of a path split on "/" (empty and "." components ignored);
// "unknown.obs" when there is none or it is "..".
std::string file_name_of(std::string_view path);

}  // namespace tessora
