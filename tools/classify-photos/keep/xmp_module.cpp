// classify-photos' exiv2 module: merge_keywords behind the C interface of
// xmp_module.h.
#include "tools/classify-photos/keep/xmp_module.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tools/classify-photos/keep/xmp_merge.h"

namespace {

char* copy_out(const std::string& text, size_t* size) {
  char* bytes = static_cast<char*>(std::malloc(text.size() + 1));
  if (bytes == nullptr) return nullptr;
  std::memcpy(bytes, text.data(), text.size());
  bytes[text.size()] = '\0';
  if (size != nullptr) *size = text.size();
  return bytes;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int classify_xmp_merge(
    const char* old_sidecar, size_t old_size, const char* const* levels, const size_t* level_sizes,
    size_t level_count, const size_t* path_levels, size_t path_count, char** merged,
    size_t* merged_size, char** error) {
  *merged = nullptr;
  *error = nullptr;
  std::string new_sidecar;
  try {
    std::vector<classify::keyword_path> words(path_count);
    size_t level = 0;
    for (size_t i = 0; i < path_count; ++i) {
      for (size_t k = 0; k < path_levels[i] && level < level_count; ++k, ++level) {
        words[i].emplace_back(levels[level], level_sizes[level]);
      }
    }
    classify::result<std::string> merged_sidecar =
        classify::merge_keywords(std::string(old_sidecar, old_size), words);
    if (!merged_sidecar) {
      *error = copy_out(merged_sidecar.error().message, nullptr);
      return 0;
    }
    new_sidecar = std::move(*merged_sidecar);
  } catch (const std::bad_alloc&) {
    *error = copy_out("out of memory", nullptr);
    return 0;
  }
  *merged = copy_out(new_sidecar, merged_size);
  if (*merged == nullptr) {
    *error = copy_out("out of memory", nullptr);
    return 0;
  }
  return 1;
}

extern "C" __attribute__((visibility("default"))) void classify_xmp_free(char* bytes) {
  std::free(bytes);
}
