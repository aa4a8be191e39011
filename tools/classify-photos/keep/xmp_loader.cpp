// exiv2 on Linux: in a module loaded only for --xmp (xmp_module.h).
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/classify-photos/keep/xmp_merge.h"
#include "tools/classify-photos/keep/xmp_module.h"
#include "tools/classify-photos/keep/xmp_sidecar.h"

namespace classify {

namespace {

struct xmp_functions {
  xmp_merge_function merge = nullptr;
  xmp_free_function release = nullptr;
  std::string problem;
};

// Loaded once, on first need, and kept.
const xmp_functions& xmp_module() {
  static const xmp_functions module = [] {
    xmp_functions f;
    const std::string path = private_module_path("classify-photos-xmp.so");
    const module_functions m = load_module(path, {"classify_xmp_merge", "classify_xmp_free"});
    if (m.outcome != module_functions::state::loaded) {
      // A damaged module is named: the loader's reason names the others.
      const bool damaged = m.outcome == module_functions::state::damaged;
      f.problem = "its exiv2 module " + (damaged ? path + " " : std::string()) + m.problem;
      return f;
    }
    f.merge = reinterpret_cast<xmp_merge_function>(m.functions[0]);
    f.release = reinterpret_cast<xmp_free_function>(m.functions[1]);
    return f;
  }();
  return module;
}

}  // namespace

outcome xmp_ready() {
  if (xmp_module().problem.empty()) return {};
  return failure{"--xmp cannot write sidecars: " + xmp_module().problem};
}

result<std::string> merge_keywords(const std::string& old_sidecar,
                                   const std::vector<keyword_path>& keywords) {
  const xmp_functions& module = xmp_module();
  if (!module.problem.empty()) return failure{module.problem};
  std::vector<const char*> levels;
  std::vector<size_t> sizes, path_levels;
  for (const keyword_path& path : keywords) {
    for (const std::string& level : path) {
      levels.push_back(level.data());
      sizes.push_back(level.size());
    }
    path_levels.push_back(path.size());
  }
  char* merged = nullptr;
  char* reason = nullptr;
  size_t merged_size = 0;
  const int merged_well = module.merge(old_sidecar.data(), old_sidecar.size(), levels.data(),
                                       sizes.data(), levels.size(), path_levels.data(),
                                       path_levels.size(), &merged, &merged_size, &reason);
  const std::unique_ptr<char, xmp_free_function> merged_owner(merged, module.release);
  const std::unique_ptr<char, xmp_free_function> reason_owner(reason, module.release);
  if (merged_well != 1) return failure{reason != nullptr ? reason : "cannot be merged"};
  return std::string(merged, merged_size);
}

}  // namespace classify
