// The xmp_merge_bench over exiv2: the program's own merge.
#include <string>
#include <utility>
#include <vector>

#include "tools/classify-photos/keep/xmp_merge.h"

bool merge_with_library(const std::string& old_sidecar,
                        const std::vector<std::vector<std::string>>& keywords,
                        std::string* new_sidecar, std::string* error) {
  classify::result<std::string> merged = classify::merge_keywords(old_sidecar, keywords);
  if (!merged) {
    *error = merged.error().message;
    return false;
  }
  *new_sidecar = std::move(*merged);
  return true;
}
