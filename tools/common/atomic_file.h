#pragma once
// Writing a whole output file so that readers see the old file or the new one,
// never a part: a temporary file beside it, its data flushed to the disk,
// then renamed over it.

#include <string>
#include <vector>

#include "tools/common/result.h"

namespace classify {

// What becomes of the owner and permissions of a file at `path`.
enum class file_keeping {
  // The new file is readable by all and writable by its owner, the one
  // who runs the program (an output of ours).
  fresh,
  // The new file takes the owner, group and permissions of the file it
  // replaces (someone else's file, such as a photograph's sidecar), as far
  // as the system lets us; a new one is made as with `fresh`.
  as_before,
};

// Writes `bytes` to a temporary file beside `path`, flushes it to the disk and
// renames it over `path`. On failure nothing is left behind, an earlier file
// at `path` is untouched, and the failure names the first step that failed.
outcome write_atomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         file_keeping keeping = file_keeping::fresh);

// The folder of `path` ("." where it names none).
std::string folder_of_file(const std::string& path);

// Whether a new file can be made beside `path`, found by making one there
// and removing it (permission bits do not say: root writes anyway, a
// read-only mount or an immutable folder refuses). Where not, the failure
// is the system's message alone.
outcome can_create_beside(const std::string& path);

}  // namespace classify
