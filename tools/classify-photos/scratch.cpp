#include "scratch.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

std::mutex folders_mutex;
std::vector<std::string>& folders() {
  static std::vector<std::string> made;
  return made;
}

}  // namespace

std::string make_scratch_folder(const std::string& prefix, const std::string& base) {
#if defined(_WIN32)
  (void)prefix;
  (void)base;
  return "";
#else
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = !base.empty()                    ? base
                             : tmp != nullptr && *tmp != '\0' ? std::string(tmp)
                                                              : "/tmp";
  std::string pattern = folder + "/" + prefix + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return "";
  std::lock_guard<std::mutex> lock(folders_mutex);
  folders().push_back(pattern);
  return pattern;
#endif
}

void remove_scratch_folders() {
  std::lock_guard<std::mutex> lock(folders_mutex);
  for (const std::string& folder : folders()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  folders().clear();
}
