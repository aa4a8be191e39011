#include "tools/classify-photos/keep/file_identity.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace classify {

namespace fs = std::filesystem;

namespace {

std::string hex(const XXH128_hash_t& hash) {
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                static_cast<unsigned long long>(hash.low64));
  return text;
}

}  // namespace

result<file_identity> stat_identity(const std::string& path) {
  std::error_code code;
  const fs::path file = fs::u8path(path);
  const uintmax_t size = fs::file_size(file, code);
  if (code) return failure{code.message()};
  const fs::file_time_type modified = fs::last_write_time(file, code);
  if (code) return failure{code.message()};
  file_identity identity;
  identity.size = static_cast<int64_t>(size);
  identity.modified_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
  identity.known = true;
  return identity;
}

result<file_identity> read_identity(const std::string& path) {
  result<file_identity> identity = stat_identity(path);
  if (!identity) return identity;
  std::ifstream in(fs::u8path(path), std::ios::binary);
  XXH3_state_t state;
  XXH3_128bits_reset(&state);
  std::vector<char> block(1 << 16);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    XXH3_128bits_update(&state, block.data(), static_cast<size_t>(in.gcount()));
  }
  if (!in.eof()) return failure{"cannot be read"};
  identity->content = hex(XXH3_128bits_digest(&state));
  return identity;
}

std::string content_hash(const void* data, size_t size) { return hex(XXH3_128bits(data, size)); }

std::string cache_path(const std::string& path) {
  std::error_code failure;
  const fs::path absolute = fs::absolute(fs::u8path(path), failure);
  return failure ? path : absolute.lexically_normal().u8string();
}

}  // namespace classify
