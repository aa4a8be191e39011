#pragma once
// The interface of classify-photos' exiv2 module (classify-photos-xmp.so).
// exiv2, and the shared C++ runtime it brings, cost every run of the
// program about 190 page faults to load and relocate, a fifth of a small
// batch's; only --xmp needs them, so on Linux they are loaded with this
// module when it is given. Plain C across the seam: the program and the
// module each have a C++ runtime of their own.

#include <cstddef>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

extern "C" {

// merge_keywords (xmp_merge.h) over bytes: the keywords' paths are their
// levels one after another (`level_count` of them in all), the first
// `path_levels[0]` of them the first path, and so on for `path_count`
// paths. Returns 1 with the new sidecar in `*merged` (`*merged_size`
// bytes), or 0 with the reason in `*error` (a C string); either is freed
// with the module's free function.
typedef int (*xmp_merge_function)(const char* old_sidecar, size_t old_size,
                                  const char* const* levels, const size_t* level_sizes,
                                  size_t level_count, const size_t* path_levels, size_t path_count,
                                  char** merged, size_t* merged_size, char** error);
typedef void (*xmp_free_function)(char* bytes);
}
