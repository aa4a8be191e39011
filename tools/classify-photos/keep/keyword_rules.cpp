#include "tools/classify-photos/keep/keyword_rules.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace classify {

namespace {

const char lightroom_root[] = "classify|";
const char digikam_root[] = "classify/";

// The entries of `hierarchy` not under `root` into `theirs`, the labels of
// those under it into `ours`.
void split_ours(const std::vector<std::string>& hierarchy, const std::string& root,
                std::vector<std::string>* theirs, std::vector<std::string>* ours) {
  for (const std::string& entry : hierarchy) {
    if (entry.compare(0, root.size(), root) == 0) {
      ours->push_back(entry.substr(root.size()));
    } else {
      theirs->push_back(entry);
    }
  }
}

// The names a hierarchy path holds: "a|b|c" gives a, b and c.
void add_names(const std::string& path, char separator, std::set<std::string>* names) {
  std::istringstream parts(path);
  std::string part;
  while (std::getline(parts, part, separator)) names->insert(part);
}

}  // namespace

sidecar_keywords merged_keywords(const sidecar_keywords& before,
                                 const std::vector<std::string>& keywords) {
  sidecar_keywords after;
  std::vector<std::string> ours;
  split_ours(before.lightroom, lightroom_root, &after.lightroom, &ours);
  split_ours(before.digikam, digikam_root, &after.digikam, &ours);
  std::set<std::string> named_elsewhere;
  for (const std::string& entry : after.lightroom) add_names(entry, '|', &named_elsewhere);
  for (const std::string& entry : after.digikam) add_names(entry, '/', &named_elsewhere);
  for (const std::string& keyword : before.flat) {
    const bool was_ours = std::find(ours.begin(), ours.end(), keyword) != ours.end();
    if (!was_ours || named_elsewhere.count(keyword) != 0) after.flat.push_back(keyword);
  }
  for (const std::string& keyword : keywords) {
    if (std::find(after.flat.begin(), after.flat.end(), keyword) == after.flat.end()) {
      after.flat.push_back(keyword);
    }
    after.lightroom.push_back(lightroom_root + keyword);
    after.digikam.push_back(digikam_root + keyword);
  }
  return after;
}

bool operator==(const sidecar_keywords& a, const sidecar_keywords& b) {
  return a.flat == b.flat && a.lightroom == b.lightroom && a.digikam == b.digikam;
}

}  // namespace classify
