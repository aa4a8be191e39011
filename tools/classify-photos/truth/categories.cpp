#include "tools/classify-photos/truth/categories.h"

#include <sstream>

namespace classify {

// models/imagenet_categories.tsv, built into the program (imagenet_categories.cpp
// is generated from it), so that no installed file is needed to find it.
extern const char* const imagenet_categories_tsv;

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// `bytes` without the lines that start with "#". A comment's line becomes
// empty rather than going, so that errors still give the file's own line
// numbers (the reader passes over empty lines).
std::string without_comments(const std::string& bytes) {
  std::string kept;
  kept.reserve(bytes.size());
  bool line_start = true;
  bool comment = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    // A byte-order mark before the first line's "#" still makes a comment.
    if (i == 0 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      i += 2;
      continue;
    }
    if (line_start) comment = c == '#';
    line_start = c == '\n' || c == '\r';
    if (!comment || line_start) kept += c;
  }
  return kept;
}

std::string class_words(int32_t index, const std::string& key) {
  return key == std::to_string(index) ? "class " + key
                                      : "class " + std::to_string(index) + " (" + key + ")";
}

}  // namespace

std::vector<std::string> category_levels(const std::string& text) {
  std::vector<std::string> levels;
  std::istringstream in(text);
  std::string level;
  while (std::getline(in, level, '|')) {
    level = trimmed(level);
    if (!level.empty()) levels.push_back(level);
  }
  return levels;
}

std::optional<category_map> parse_category_map(const std::string& bytes,
                                               const label_matcher& matcher, size_t classes,
                                               std::string* error) {
  std::vector<truth_line> lines;
  if (!parse_truth_lines(without_comments(bytes), &lines, error)) return std::nullopt;
  category_map map;
  map.paths.resize(classes);
  std::vector<size_t> given_on(classes, 0);
  for (size_t i = 0; i < lines.size(); ++i) {
    const truth_line& line = lines[i];
    const std::string key = trimmed(line.fields.front());
    const int32_t index = matcher.match(key);
    const std::string where = "line " + std::to_string(line.number) + ": ";
    if (index < 0) {
      if (i == 0) continue;  // a header
      *error =
          where + "\"" + key + "\" " +
          (index == label_matcher::several_labels ? "names several classes; give its index instead"
                                                  : "is no class of the model");
      return std::nullopt;
    }
    std::vector<std::string> levels = category_levels(line.fields.back());
    if (levels.empty()) {
      *error = where + class_words(index, key) + " has no category";
      return std::nullopt;
    }
    if (given_on[static_cast<size_t>(index)] != 0) {
      *error = where + class_words(index, key) + " was given a category on line " +
               std::to_string(given_on[static_cast<size_t>(index)]) + " already";
      return std::nullopt;
    }
    given_on[static_cast<size_t>(index)] = line.number;
    map.paths[static_cast<size_t>(index)] = std::move(levels);
  }
  return map;
}

std::optional<category_map> imagenet_category_map(const std::vector<std::string>& labels) {
  // Its lines are INDEX TAB LABEL TAB PATH, INDEX as in the 1001 labels.
  std::vector<std::string> map_labels;
  std::vector<std::string> map_paths;
  std::istringstream in(imagenet_categories_tsv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t first_tab = line.find('\t');
    const size_t second_tab = line.find('\t', first_tab + 1);
    map_labels.push_back(line.substr(first_tab + 1, second_tab - first_tab - 1));
    map_paths.push_back(line.substr(second_tab + 1));
  }
  const bool with_background = labels.size() == map_labels.size() + 1;
  if (!with_background && labels.size() != map_labels.size()) return std::nullopt;
  const size_t offset = with_background ? 1 : 0;
  for (size_t i = 0; i < map_labels.size(); ++i) {
    if (labels[i + offset] != map_labels[i]) return std::nullopt;
  }
  category_map map;
  map.paths.resize(labels.size());
  for (size_t i = 0; i < map_paths.size(); ++i)
    map.paths[i + offset] = category_levels(map_paths[i]);
  map.source = "ImageNet's categories from WordNet 3.0, built in";
  return map;
}

std::optional<category_map> split_label_paths(std::vector<std::string>* labels) {
  category_map map;
  map.paths.resize(labels->size());
  bool any = false;
  for (size_t i = 0; i < labels->size(); ++i) {
    std::vector<std::string> levels = category_levels((*labels)[i]);
    if ((*labels)[i].find('|') == std::string::npos || levels.size() < 2) continue;
    (*labels)[i] = levels.back();
    levels.pop_back();
    map.paths[i] = std::move(levels);
    any = true;
  }
  if (!any) return std::nullopt;
  map.source = "the paths the labels carry";
  return map;
}

}  // namespace classify
