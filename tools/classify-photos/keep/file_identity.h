#pragma once
// What tells a photograph's content from another's without decoding it: its
// size and modification time, which a stat gives, and a hash of its bytes,
// which settles the cases where those two changed and the bytes did not.

#include <cstdint>
#include <string>

#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

struct file_identity {
  bool known = false;
  int64_t size = 0;
  int64_t modified_ns = 0;  // the modification time, in nanoseconds
  std::string content;      // the hash of the bytes, as hex; "" until read
};

// The size and modification time of `path` (no hash), or why it cannot be
// read.
result<file_identity> stat_identity(const std::string& path);

// The size, the modification time and the hash of `path`'s bytes.
result<file_identity> read_identity(const std::string& path);

// XXH3's 128-bit hash of `size` bytes at `data`, as 32 hex digits.
std::string content_hash(const void* data, size_t size);

// The photograph's path as the cache keys it: absolute and without "." or
// ".." steps, so that a run from another folder finds it.
std::string cache_path(const std::string& path);

}  // namespace classify
