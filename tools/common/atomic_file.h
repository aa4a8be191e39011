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

}  // namespace classify
