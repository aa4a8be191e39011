#include "tools/classify-photos/truth/truth.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <unordered_map>

namespace classify {

namespace {

namespace fs = std::filesystem;

// A path as the photographs' and the truth file's are compared.
std::string path_key(const std::string& path) {
  return fs::u8path(path).lexically_normal().u8string();
}

// The name of the folder that holds `path`, or "" at the top.
std::string folder_name(const std::string& path) {
  const fs::path parent = fs::u8path(path).lexically_normal().parent_path();
  return parent.filename().u8string();
}

// A CSV field without its double quotes, where it has them ("" inside for
// one).
std::string unquoted(const std::string& field) {
  if (field.size() < 2 || field.front() != '"' || field.back() != '"') return field;
  std::string text;
  for (size_t i = 1; i + 1 < field.size(); ++i) {
    text += field[i];
    if (field[i] == '"' && field[i + 1] == '"') ++i;
  }
  return text;
}

bool read_truth_file(const std::string& file, std::unordered_map<std::string, std::string>* by_path,
                     std::string* error) {
  std::ifstream in(fs::u8path(file), std::ios::binary);
  if (!in) {
    *error = "--truth " + file + ": not a readable file";
    return false;
  }
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      line.erase(0, 3);  // a byte-order mark
    }
    if (line.empty()) continue;
    // A tab makes the line TSV; the class is what follows the last
    // separator, so that a path may hold a comma.
    const size_t at = line.rfind(line.find('\t') != std::string::npos ? '\t' : ',');
    if (at == std::string::npos || at == 0) {
      *error =
          "--truth " + file + ": line " + std::to_string(number) + " is not a path and a class";
      return false;
    }
    (*by_path)[path_key(unquoted(line.substr(0, at)))] = unquoted(line.substr(at + 1));
  }
  if (in.bad()) {
    *error = "--truth " + file + ": cannot be read";
    return false;
  }
  return true;
}

bool whole_number(const std::string& text, long* value) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return false;
  }
  *value = std::stol(text);
  return true;
}

}  // namespace

bool read_truths(const std::string& source, const std::vector<std::string>& photos,
                 std::vector<photo_truth>* truths, std::string* error) {
  truths->assign(photos.size(), {});
  if (source == "folders") {
    for (size_t i = 0; i < photos.size(); ++i) {
      const std::string name = folder_name(photos[i]);
      if (!name.empty() && name != "." && name != "..") (*truths)[i] = {true, name, -1};
    }
    return true;
  }
  std::unordered_map<std::string, std::string> by_path;
  if (!read_truth_file(source, &by_path, error)) return false;
  for (size_t i = 0; i < photos.size(); ++i) {
    const auto found = by_path.find(path_key(photos[i]));
    if (found != by_path.end()) (*truths)[i] = {true, found->second, -1};
  }
  return true;
}

std::string folded_name(const std::string& text) {
  std::string folded;
  for (const char c : text) {
    const bool blank = c == ' ' || c == '_' || c == '-' || c == '\t';
    if (blank) {
      if (!folded.empty() && folded.back() != ' ') folded += ' ';
    } else {
      folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  if (!folded.empty() && folded.back() == ' ') folded.pop_back();
  return folded;
}

label_matcher::label_matcher(const std::vector<std::string>& labels, size_t classes)
    : classes_(classes) {
  for (size_t i = 0; i < labels.size() && i < classes; ++i) {
    const auto index = static_cast<int32_t>(i);
    std::vector<std::string> names = {labels[i]};
    for (size_t start = 0; labels[i].find(',') != std::string::npos && start <= labels[i].size();) {
      const size_t comma = std::min(labels[i].find(',', start), labels[i].size());
      names.push_back(labels[i].substr(start, comma - start));
      start = comma + 1;
    }
    for (const std::string& name : names) {
      std::vector<int32_t>& matched = names_[folded_name(name)];
      if (std::find(matched.begin(), matched.end(), index) == matched.end()) {
        matched.push_back(index);
      }
    }
  }
  names_.erase("");
}

int32_t label_matcher::match(const std::string& text) const {
  long number = 0;
  const std::string trimmed = folded_name(text);
  if (whole_number(trimmed, &number)) {
    return static_cast<size_t>(number) < classes_ ? static_cast<int32_t>(number) : -1;
  }
  const auto found = names_.find(trimmed);
  if (found == names_.end()) return -1;
  return found->second.size() == 1 ? found->second.front() : -2;
}

bool find_truths(const std::string& source, const std::vector<std::string>& photos,
                 const std::vector<std::string>& labels, size_t classes,
                 std::vector<photo_truth>* truths, std::string* error) {
  if (!read_truths(source, photos, truths, error)) return false;
  const label_matcher matcher(labels, classes);
  for (photo_truth& truth : *truths) {
    if (truth.known) truth.index = matcher.match(truth.text);
  }
  return true;
}

}  // namespace classify
