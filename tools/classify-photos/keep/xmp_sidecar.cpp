#include "tools/classify-photos/keep/xmp_sidecar.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "tools/classify-photos/keep/xmp_merge.h"
#include "tools/common/atomic_file.h"

namespace classify {

namespace fs = std::filesystem;

std::string sidecar_path(const std::string& photo, sidecar_naming naming) {
  if (naming == sidecar_naming::full_name) return photo + ".xmp";
  const size_t slash = photo.find_last_of("/\\");
  const size_t dot = photo.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? photo.substr(0, dot) : photo) + ".xmp";
}

bool write_keywords(const std::string& path, const std::vector<std::string>& keywords,
                    std::string* error) {
  const fs::path file = fs::u8path(path);
  std::error_code failure;
  const fs::file_status status = fs::status(file, failure);
  const bool exists = fs::exists(status);
  std::string old_sidecar;
  if (exists) {
    const fs::perms writable =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((status.permissions() & writable) == fs::perms::none) {
      *error = path + ": is read-only; left as it is";
      return false;
    }
    std::ifstream in(file, std::ios::binary);
    old_sidecar.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      *error = path + ": cannot be read";
      return false;
    }
  }
  // No keywords for a photograph without a sidecar: none is made.
  if (!exists && keywords.empty()) return true;
  std::string new_sidecar;
  if (!merge_keywords(old_sidecar, keywords, &new_sidecar, error)) {
    *error = path + ": " + *error + "; left as it is";
    return false;
  }
  if (exists && new_sidecar == old_sidecar) return true;
  if (!write_atomically(path, std::vector<unsigned char>(new_sidecar.begin(), new_sidecar.end()),
                        error)) {
    return false;
  }
  if (exists) fs::permissions(file, status.permissions(), failure);
  return true;
}

}  // namespace classify
