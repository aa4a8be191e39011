#include "tools/classify-photos/keep/keyword_rules.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace classify {

namespace {

const char lightroom_root[] = "classify|";
const char digikam_root[] = "classify/";

template <typename T>
bool holds(const std::vector<T>& list, const T& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The entries of `hierarchy` not under `root`.
std::vector<std::string> not_ours(const std::vector<std::string>& hierarchy,
                                  const std::string& root) {
  std::vector<std::string> theirs;
  for (const std::string& entry : hierarchy) {
    if (entry.compare(0, root.size(), root) != 0) theirs.push_back(entry);
  }
  return theirs;
}

// The names a hierarchy path holds: "a|b|c" gives a, b and c.
void add_names(const std::string& path, char separator, std::set<std::string>* names) {
  std::istringstream parts(path);
  std::string part;
  while (std::getline(parts, part, separator)) names->insert(part);
}

// `level` without `separator`: "|" becomes the broken bar, "/" the division
// slash. Neither program that reads these hierarchies has a way to escape
// its separator, and a look-alike reads as the label did.
std::string one_level(const std::string& level, char separator) {
  const char* look_alike = separator == '|' ? "\xC2\xA6" : "\xE2\x88\x95";
  std::string text;
  for (const char c : level) {
    if (c == separator) {
      text += look_alike;
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace

std::string hierarchy_entry(const keyword_path& path, char separator) {
  std::string entry = "classify";
  for (const std::string& level : path) entry += separator + one_level(level, separator);
  return entry;
}

// A flat keyword is ours only where our record says we added it: one the
// user had before we tagged the photograph with the same word stays theirs,
// and stays when our classes change. Sidecars tagged before the record
// existed hold our entries under classify but no record; their flat
// keywords cannot be told from the user's (a user's "dog" looks like the
// "dog" we would have added), so all of them stay: a word left over can be
// taken out by hand, a word of the user's taken out is lost. From the first
// run over such a sidecar on, the record is kept.
sidecar_keywords merged_keywords(const sidecar_keywords& before,
                                 const std::vector<keyword_path>& keywords) {
  sidecar_keywords after;
  after.lightroom = not_ours(before.lightroom, lightroom_root);
  after.digikam = not_ours(before.digikam, digikam_root);
  std::set<std::string> named_elsewhere;
  for (const std::string& entry : after.lightroom) add_names(entry, '|', &named_elsewhere);
  for (const std::string& entry : after.digikam) add_names(entry, '/', &named_elsewhere);
  const auto users = [&](const std::string& keyword) {
    return !holds(before.added, keyword) || named_elsewhere.count(keyword) != 0;
  };
  // A level that two of our paths share is added, and recorded, once.
  std::vector<keyword_path> paths;
  std::vector<std::string> levels;
  for (const keyword_path& path : keywords) {
    if (path.empty() || holds(paths, path)) continue;
    paths.push_back(path);
    for (const std::string& level : path) {
      if (!holds(levels, level)) levels.push_back(level);
    }
  }
  // The user's keywords, and ours that stay, where they were: a rerun then
  // gives the sidecar back as it found it.
  for (const std::string& keyword : before.flat) {
    if (users(keyword) || holds(levels, keyword)) after.flat.push_back(keyword);
  }
  for (const std::string& level : levels) {
    if (!holds(after.flat, level)) after.flat.push_back(level);
    // Ours unless the user had it, or names it in their own hierarchy: such
    // a word would be theirs on the next run, and must be on this one too.
    const bool theirs = holds(before.flat, level) && users(level);
    if (!theirs && named_elsewhere.count(level) == 0) after.added.push_back(level);
  }
  for (const keyword_path& path : paths) {
    after.lightroom.push_back(hierarchy_entry(path, '|'));
    after.digikam.push_back(hierarchy_entry(path, '/'));
  }
  return after;
}

bool operator==(const sidecar_keywords& a, const sidecar_keywords& b) {
  return a.flat == b.flat && a.lightroom == b.lightroom && a.digikam == b.digikam &&
         a.added == b.added;
}

}  // namespace classify
