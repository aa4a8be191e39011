// The xmp_merge_bench over exiv2: the program's own merge.
#include <string>
#include <vector>

#include "tools/classify-photos/keep/xmp_merge.h"

bool merge_with_library(const std::string& old_sidecar, const std::vector<std::string>& keywords,
                        std::string* new_sidecar, std::string* error) {
  return classify::merge_keywords(old_sidecar, keywords, new_sidecar, error);
}
