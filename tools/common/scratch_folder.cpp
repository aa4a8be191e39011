#include "tools/common/scratch_folder.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#if defined(_WIN32)
#include <random>
#endif

namespace classify {

namespace {

std::mutex folders_mutex;
std::vector<std::string>& folders() {
  static std::vector<std::string> made;
  return made;
}

std::string temporary_base() {
#if defined(_WIN32)
  std::error_code ignored;
  return std::filesystem::temp_directory_path(ignored).u8string();
#else
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : "/tmp";
#endif
}

// A new folder whose name is `stem` and six characters no one else has
// taken; "" when none can be made.
std::string new_folder(const std::string& stem) {
#if defined(_WIN32)
  // Windows has no mkdtemp: creating the folder is the test.
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem;
    for (int i = 0; i < 6; ++i) name += letters[random() % (sizeof letters - 1)];
    std::error_code error;
    if (std::filesystem::create_directory(std::filesystem::u8path(name), error)) return name;
    if (error) return "";
  }
  return "";
#else
  // mkdtemp makes it for this user alone (mode 0700): others' photographs
  // may go in.
  std::string name = stem + "XXXXXX";
  return mkdtemp(name.data()) != nullptr ? name : "";
#endif
}

}  // namespace

std::string make_scratch_folder(const std::string& prefix, const std::string& base) {
  const std::string name =
      new_folder((base.empty() ? temporary_base() : base) + "/" + prefix + ".");
  if (name.empty()) return "";
#if defined(_WIN32)
  std::error_code ignored;
  std::filesystem::permissions(std::filesystem::u8path(name), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, ignored);
#endif
  std::lock_guard<std::mutex> lock(folders_mutex);
  folders().push_back(name);
  return name;
}

void remove_scratch_folders() {
  std::lock_guard<std::mutex> lock(folders_mutex);
  for (const std::string& folder : folders()) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(folder), ignored);
  }
  folders().clear();
}

}  // namespace classify
