#pragma once
// A record of every entry under a folder (its type, size, a hash of its
// bytes, a link's target and the permission bits), taken without following
// links or opening anything but regular files, so that a test tells what a
// program created, changed or removed in a tree it was given.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace classify {

struct tree_entry {
  char type = '?';  // f file, d folder, l link, p FIFO, c/b device, s socket
  uint64_t size = 0;
  uint64_t hash = 0;   // of a regular file's bytes
  std::string target;  // of a link
  mode_t mode = 0;     // the permission bits
  bool operator==(const tree_entry& other) const;
  bool operator!=(const tree_entry& other) const { return !(*this == other); }
};
std::ostream& operator<<(std::ostream& os, const tree_entry& entry);

// Entries by their path relative to the root, with "/" between names.
using tree_manifest = std::map<std::string, tree_entry>;

tree_manifest take_manifest(const std::string& root);

// What differs between `before` and `after` ("PATH: created ...",
// "PATH: removed ...", "PATH: ... became ..."), leaving out the paths
// `exempt` accepts.
std::vector<std::string> manifest_changes(const tree_manifest& before, const tree_manifest& after,
                                          const std::function<bool(const std::string&)>& exempt);

}  // namespace classify
