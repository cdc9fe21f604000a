// Whole-file reading and the file name of a path.
#pragma once

#include <string>
#include <string_view>

namespace tessora {

// Reads the whole file at `path` into `out`. On failure returns false and sets `error` to the C
// library's text for the error number followed by " (os error N)", or to "file name contained an
// unexpected NUL byte" for a path with a NUL character.
bool read_whole_file(std::string_view path, std::string& out, std::string& error);

// Last normal component of a path split on "/" (empty and "." components ignored);
// "unknown.obs" when there is none or it is "..".
std::string file_name_of(std::string_view path);

}  // namespace tessora
