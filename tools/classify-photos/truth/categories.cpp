#include "tools/classify-photos/truth/categories.h"

#include <map>
#include <sstream>

#include "tools/common/option_file.h"

namespace classify {

// models/imagenet_categories.tsv, built into the program (imagenet_categories.cpp
// is generated from it), so that no installed file is needed to find it.
extern const char* const imagenet_categories_tsv;

namespace {

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

const std::vector<std::string>& category_map::path_of(int32_t index) const {
  static const std::vector<std::string> none;
  return index >= 0 && static_cast<size_t>(index) < paths.size() ? paths[static_cast<size_t>(index)]
                                                                 : none;
}

std::string path_text(const std::vector<std::string>& levels) {
  std::string text;
  for (const std::string& level : levels) text += (text.empty() ? "" : "|") + level;
  return text;
}

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

result<category_map> parse_category_map(const std::string& bytes, const label_matcher& matcher,
                                        size_t classes) {
  result<std::vector<truth_line>> parsed = parse_truth_lines(without_comments(bytes));
  if (!parsed) return parsed.error();
  const std::vector<truth_line>& lines = *parsed;
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
      return failure{where + "\"" + key + "\" " +
                     (index == label_matcher::several_labels
                          ? "names several classes; give its index instead"
                          : "is no class of the model")};
    }
    std::vector<std::string> levels = category_levels(line.fields.back());
    if (levels.empty()) {
      return failure{where + class_words(index, key) + " has no category"};
    }
    if (given_on[static_cast<size_t>(index)] != 0) {
      return failure{where + class_words(index, key) + " was given a category on line " +
                     std::to_string(given_on[static_cast<size_t>(index)]) + " already"};
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
  map.source = "the built-in map of ImageNet's classes (WordNet 3.0)";
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

result<category_map> choose_category_map(const std::string& given, std::vector<std::string>* labels,
                                         size_t classes) {
  category_map map;
  if (given == "none") {
    map.source = "none (--categories none)";
    return map;
  }
  if (!given.empty()) {
    const result<std::string> bytes =
        read_option_file("--categories " + given + ": ", given, largest_category_file,
                         "no category map is that large");
    if (!bytes) return bytes.error();
    result<category_map> parsed =
        parse_category_map(*bytes, label_matcher(*labels, classes), classes);
    if (!parsed) return failure{"--categories " + given + ": " + parsed.error().message};
    parsed->source = given + " (--categories)";
    return parsed;
  }
  std::optional<category_map> found = split_label_paths(labels);
  if (!found) found = imagenet_category_map(*labels);
  if (!found) {
    map.source =
        "none: the labels are not ImageNet's and carry no paths (--categories FILE gives one)";
    return map;
  }
  found->paths.resize(classes);
  return *found;
}

void find_truth_categories(const category_map& map, std::vector<photo_truth>* truths) {
  std::map<std::string, std::string> names;  // folded -> as the map spells it
  for (const std::vector<std::string>& path : map.paths) {
    for (const std::string& level : path) names.emplace(folded_name(level), level);
  }
  for (photo_truth& truth : *truths) {
    if (!truth.known || truth.index != label_matcher::no_label) continue;
    const auto found = names.find(folded_name(truth.text));
    if (found != names.end()) truth.category = found->second;
  }
}

std::string truth_category(const category_map& map, const photo_truth& truth) {
  if (!truth.known) return "";
  if (truth.index < 0) return truth.category;
  const std::vector<std::string>& path = map.path_of(truth.index);
  return path.empty() ? "" : path.back();
}

std::optional<bool> category_right(const category_map& map, const photo_truth& truth,
                                   int32_t best) {
  const std::string category = folded_name(truth_category(map, truth));
  if (category.empty()) return std::nullopt;
  for (const std::string& level : map.path_of(best)) {
    if (folded_name(level) == category) return true;
  }
  return false;
}

}  // namespace classify
