#pragma once
// Writing a whole output file so that readers see the old file or the new one,
// never a part.

#include <string>
#include <vector>

namespace classify {

// Writes `bytes` to a temporary file beside `path` and renames it over
// `path`. On failure nothing is left behind, an earlier file at `path` is
// untouched, and `error` names the first step that failed.
bool write_atomically(const std::string& path, const std::vector<unsigned char>& bytes,
                      std::string* error);

// The folder of `path` ("." where it names none).
std::string folder_of_file(const std::string& path);

// Whether a new file can be made beside `path`, found by making one there
// and removing it (permission bits do not say: root writes anyway, a
// read-only mount or an immutable folder refuses). False, with `reason` (the
// system's message), where not.
bool can_create_beside(const std::string& path, std::string* reason);

}  // namespace classify
