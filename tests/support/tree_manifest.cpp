#include "tests/support/tree_manifest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string_view>

#include "tests/support/run_support.h"

namespace classify {

namespace {

namespace fs = std::filesystem;

char type_of(mode_t mode) {
  if (S_ISREG(mode)) return 'f';
  if (S_ISDIR(mode)) return 'd';
  if (S_ISLNK(mode)) return 'l';
  if (S_ISFIFO(mode)) return 'p';
  if (S_ISCHR(mode)) return 'c';
  if (S_ISBLK(mode)) return 'b';
  if (S_ISSOCK(mode)) return 's';
  return '?';
}

void add_entries(const std::string& root, const std::string& relative, tree_manifest* manifest) {
  const std::string folder = relative.empty() ? root : root + "/" + relative;
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(folder, error)) {
    const std::string name = item.path().filename().string();
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat status {};
    if (lstat(item.path().c_str(), &status) != 0) continue;
    tree_entry entry;
    entry.type = type_of(status.st_mode);
    entry.mode = status.st_mode & 07777;
    if (entry.type == 'f') {
      const std::string bytes = read_file(item.path().string());
      entry.size = bytes.size();
      entry.hash = std::hash<std::string_view>()(bytes);
    } else if (entry.type == 'l') {
      entry.target = fs::read_symlink(item.path(), error).string();
    }
    (*manifest)[path] = entry;
    if (entry.type == 'd') add_entries(root, path, manifest);
  }
}

}  // namespace

bool tree_entry::operator==(const tree_entry& other) const {
  return type == other.type && size == other.size && hash == other.hash && target == other.target &&
         (type == 'l' || mode == other.mode);
}

std::ostream& operator<<(std::ostream& os, const tree_entry& entry) {
  os << entry.type << " mode " << std::oct << entry.mode << std::dec;
  if (entry.type == 'f')
    os << ", " << entry.size << " bytes, hash " << std::hex << entry.hash << std::dec;
  if (entry.type == 'l') os << " -> " << entry.target;
  return os;
}

tree_manifest take_manifest(const std::string& root) {
  tree_manifest manifest;
  add_entries(root, "", &manifest);
  return manifest;
}

std::vector<std::string> manifest_changes(const tree_manifest& before, const tree_manifest& after,
                                          const std::function<bool(const std::string&)>& exempt) {
  std::vector<std::string> changes;
  const auto describe = [](const std::string& path, const std::string& what,
                           const tree_entry& entry) {
    std::ostringstream text;
    text << path << ": " << what << " (" << entry << ")";
    return text.str();
  };
  for (const auto& [path, entry] : before) {
    if (exempt(path)) continue;
    const auto found = after.find(path);
    if (found == after.end()) {
      changes.push_back(describe(path, "removed", entry));
    } else if (found->second != entry) {
      std::ostringstream text;
      text << path << ": " << entry << " became " << found->second;
      changes.push_back(text.str());
    }
  }
  for (const auto& [path, entry] : after) {
    if (!exempt(path) && before.count(path) == 0)
      changes.push_back(describe(path, "created", entry));
  }
  return changes;
}

}  // namespace classify
