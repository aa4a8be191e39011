#pragma once
// What tells a photograph's content from another's without decoding it: its
// size and modification time, which a stat gives, and a hash of its bytes,
// which settles the cases where those two changed and the bytes did not.

#include <cstdint>
#include <string>

#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

struct file_identity {
  bool known = false;
  int64_t size = 0;
  int64_t modified_ns = 0;  // the modification time, in nanoseconds
  std::string content;      // the hash of the bytes, as hex; "" until read
};

// The size and modification time of `path` (no hash); false, with `error`,
// when it cannot be read.
bool stat_identity(const std::string& path, file_identity* identity, std::string* error);

// The size, the modification time and the hash of `path`'s bytes.
bool read_identity(const std::string& path, file_identity* identity, std::string* error);

// XXH3's 128-bit hash of `size` bytes at `data`, as 32 hex digits.
std::string content_hash(const void* data, size_t size);

// The photograph's path as the cache keys it: absolute and without "." or
// ".." steps, so that a run from another folder finds it.
std::string cache_path(const std::string& path);

}  // namespace classify
