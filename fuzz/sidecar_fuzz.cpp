// Fuzzes the reading of an XMP sidecar that is already beside a photograph,
// which any program (or a damaged disk) may have written: each input is
// merged with our keywords or refused cleanly; what is merged holds them,
// and merging it again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/classify-photos/keep/xmp_merge.h"

using namespace classify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string old_sidecar(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> keywords = {"tabby cat", "a|b/c"};
  std::string merged, again, error;
  if (!merge_keywords(old_sidecar, keywords, &merged, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (merged.find("classify|tabby cat") == std::string::npos) std::abort();
  if (!merge_keywords(merged, keywords, &again, &error) || again != merged) std::abort();
  return 0;
}
