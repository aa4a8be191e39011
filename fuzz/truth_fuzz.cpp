// Fuzzes the truth files of --truth, which a person or a spreadsheet writes:
// each input is read or refused with the number of its bad line; what is
// read has a path and a class on every line, in the order of the file, and
// written back with every field quoted it reads the same. The input, as the
// bytes of a file /tmp/truths/truth.csv, is then matched against
// photographs named by its own paths and against the model's labels, and
// those paths are read as folders of a class. The same bytes are read as a
// category map (--categories FILE), and their lines as labels that carry
// their own paths: every path read is of trimmed levels without "|".
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tools/classify-photos/truth/categories.h"
#include "tools/classify-photos/truth/truth.h"

using namespace classify;

namespace {

const std::vector<std::string> labels = {
    "background", "tench, Tinca tinca", "goldfish", "3d glasses", "crane",
    "crane",      "say \"cheese\"",     "a,b"};

std::string quoted(const std::string& field) {
  std::string text = "\"";
  for (const char c : field) text += c == '"' ? std::string("\"\"") : std::string(1, c);
  return text + "\"";
}

void check_lines(const std::vector<truth_line>& lines) {
  std::string again;
  size_t number = 0;
  for (const truth_line& line : lines) {
    if (line.number <= number || line.fields.size() < 2 ||
        line.path != line.joined(0, line.fields.size() - 1) || line.text != line.fields.back() ||
        (line.separator != ',' && line.separator != '\t')) {
      std::abort();
    }
    number = line.number;
    for (size_t i = 0; i < line.fields.size(); ++i) {
      again += (i == 0 ? "" : std::string(1, line.separator)) + quoted(line.fields[i]);
    }
    again += "\n";
  }
  const result<std::vector<truth_line>> reread = parse_truth_lines(again);
  if (!reread || reread->size() != lines.size()) std::abort();
  for (size_t i = 0; i < lines.size(); ++i) {
    if ((*reread)[i].fields != lines[i].fields || (*reread)[i].separator != lines[i].separator) {
      std::abort();
    }
  }
}

void check_truths(const std::vector<photo_truth>& truths, size_t photos) {
  if (truths.size() != photos) std::abort();
  for (const photo_truth& truth : truths) {
    if (truth.index < -2 || truth.index >= static_cast<int32_t>(labels.size())) std::abort();
    if (!truth.known && truth.index != -1) std::abort();
  }
}

void check_path(const std::vector<std::string>& levels) {
  for (const std::string& level : levels) {
    if (level.empty() || level.find('|') != std::string::npos || trimmed(level) != level) {
      std::abort();
    }
  }
}

// The input as a category map over `labels`, and its lines as labels that
// carry paths; then the truths' categories and verdicts under the map.
void check_categories(const std::string& text, std::vector<photo_truth> truths) {
  const result<category_map> map =
      parse_category_map(text, label_matcher(labels, labels.size()), labels.size());
  if (!map) {
    if (map.error().message.compare(0, 5, "line ") != 0) std::abort();
  } else {
    if (map->paths.size() != labels.size()) std::abort();
    for (const std::vector<std::string>& path : map->paths) check_path(path);
    find_truth_categories(*map, &truths);
    for (const photo_truth& truth : truths) {
      for (int32_t best = -1; best <= static_cast<int32_t>(labels.size()); ++best) {
        category_right(*map, truth, best);
      }
    }
  }
  std::vector<std::string> carried;
  for (size_t start = 0; start < text.size() && carried.size() < 64;) {
    const size_t end = std::min(text.find('\n', start), text.size());
    carried.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  const std::vector<std::string> given = carried;
  const std::optional<category_map> paths = split_label_paths(&carried);
  if (!paths) {
    if (carried != given) std::abort();  // labels without paths stay as they are
    return;
  }
  if (paths->paths.size() != carried.size()) std::abort();
  for (size_t i = 0; i < carried.size(); ++i) {
    check_path(paths->paths[i]);
    if (!paths->paths[i].empty()) check_path({carried[i]});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const result<std::vector<truth_line>> parsed = parse_truth_lines(text);
  if (!parsed) {
    if (parsed.error().message.compare(0, 5, "line ") != 0) std::abort();
  } else {
    check_lines(*parsed);
  }
  static const std::vector<truth_line> none;
  const std::vector<truth_line>& lines = parsed ? *parsed : none;
  // The photographs: the first lines' paths and fields, as a batch would
  // name them.
  std::vector<std::string> photos;
  for (size_t i = 0; i < lines.size() && photos.size() < 8; ++i) {
    photos.push_back(lines[i].path);
    photos.push_back(lines[i].fields.front());
  }
  std::vector<std::string> warnings;
  const result<std::vector<photo_truth>> matched =
      match_truth_file("/tmp/truths/truth.csv", text, photos, labels, labels.size(), &warnings);
  if (matched) {
    check_truths(*matched, photos.size());
  } else if (matched.error().message.empty()) {
    std::abort();
  }
  const result<std::vector<photo_truth>> from_folders =
      find_truths("folders", photos, labels, labels.size());
  if (!from_folders) std::abort();
  check_truths(*from_folders, photos.size());
  check_categories(text, matched ? *matched : *from_folders);
  return 0;
}
