#include "tools/classify-photos/truth/truth.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>
#include <limits>
#include <sstream>
#include <unordered_map>

#include "tools/common/command_line.h"
#include "tools/common/option_file.h"

namespace classify {

namespace {

// A truth file larger than this is a mistaken file: a line for each of ten
// million photographs would be smaller.
constexpr uintmax_t largest_truth_file = uintmax_t{1} << 30;

namespace fs = std::filesystem;

// The name of the folder that holds `path`, or "" at the top.
std::string folder_name(const std::string& path) {
  const fs::path parent = fs::u8path(path).lexically_normal().parent_path();
  return parent.filename().u8string();
}

// Reads the records of a truth file one by one, counting its lines.
class record_reader {
 public:
  explicit record_reader(const std::string& bytes) : bytes_(bytes) {
    if (bytes_.compare(0, 3, "\xEF\xBB\xBF") == 0) at_ = 3;  // a byte-order mark
  }

  // The next record that is not an empty line, into `fields`, with the
  // separator it has and the number of the line it starts on: true for one,
  // false at the end; fails on a quote that does not close or is followed by
  // more text. A record that reads as TSV with a tab outside its quotes is
  // TSV; otherwise it is CSV.
  result<bool> next(std::vector<std::string>* fields, char* separator, size_t* number) {
    while (at_ < bytes_.size() && line_end()) {
    }
    if (at_ >= bytes_.size()) return false;
    *number = line_;
    const size_t at = at_, line = line_;
    *separator = '\t';
    if (read_record('\t', fields) && fields->size() > 1) return true;
    at_ = at;
    line_ = line;
    *separator = ',';
    if (const outcome read = read_record(',', fields); !read) return read.error();
    return true;
  }

 private:
  // Past a line end at the reading position (CRLF, LF or CR), if there is
  // one.
  bool line_end() {
    if (at_ >= bytes_.size() || (bytes_[at_] != '\r' && bytes_[at_] != '\n')) return false;
    if (bytes_[at_] == '\r' && at_ + 1 < bytes_.size() && bytes_[at_ + 1] == '\n') ++at_;
    ++at_;
    ++line_;
    return true;
  }

  outcome read_record(char separator, std::vector<std::string>* fields) {
    const size_t number = line_;
    fields->assign(1, std::string());
    for (;;) {
      if (const outcome read = read_field(separator, &fields->back(), number); !read) return read;
      if (at_ >= bytes_.size() || bytes_[at_] != separator) break;
      ++at_;
      fields->emplace_back();
    }
    line_end();
    return {};
  }

  bool at_field_end(char separator) const {
    return at_ >= bytes_.size() || bytes_[at_] == separator || bytes_[at_] == '\r' ||
           bytes_[at_] == '\n';
  }

  outcome read_field(char separator, std::string* field, size_t number) {
    size_t quote = at_;
    while (quote < bytes_.size() && bytes_[quote] == ' ') ++quote;
    if (quote >= bytes_.size() || bytes_[quote] != '"') {
      const size_t start = at_;
      while (!at_field_end(separator)) ++at_;
      field->assign(bytes_, start, at_ - start);
      return {};
    }
    at_ = quote + 1;
    for (;;) {
      if (at_ >= bytes_.size()) {
        return failure{"line " + std::to_string(number) + " has a quote that does not close"};
      }
      const char c = bytes_[at_++];
      if (c == '"') {
        if (at_ >= bytes_.size() || bytes_[at_] != '"') break;
        ++at_;
      } else if (c == '\n' || (c == '\r' && (at_ >= bytes_.size() || bytes_[at_] != '\n'))) {
        ++line_;
      }
      *field += c;
    }
    while (at_ < bytes_.size() && bytes_[at_] == ' ') ++at_;
    if (!at_field_end(separator)) {
      return failure{"line " + std::to_string(line_) + " has more after a closing quote"};
    }
    return {};
  }

  const std::string& bytes_;
  size_t at_ = 0;
  size_t line_ = 1;
};

// How the file's paths and the photographs' are compared: absolute against
// `base`, lexically normal; "" for a path that cannot be one.
std::string path_key(const fs::path& base, const std::string& path) {
  try {
    const fs::path given = fs::u8path(path);
    return (given.is_absolute() ? given : base / given).lexically_normal().u8string();
  } catch (const std::exception&) {
    return "";
  }
}

// Whether `path` is absolute; false for text that is no path (bytes that
// are not UTF-8, on Windows).
bool absolute_path(const std::string& path) {
  try {
    return fs::u8path(path).is_absolute();
  } catch (const std::exception&) {
    return false;
  }
}

// "1", "1 and 3", "1, 3 and 5".
std::string numbers_list(const std::vector<size_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) text += i + 1 == numbers.size() ? " and " : ", ";
    text += std::to_string(numbers[i]);
  }
  return text;
}

// The photographs of the batch by the key the file's paths are compared
// with, and the folders a relative path of the file is read against.
class truth_file {
 public:
  truth_file(const std::string& source, const std::vector<std::string>& photos) {
    std::error_code ignored;
    here_ = fs::current_path(ignored);
    folder_ = fs::u8path(path_key(here_, source)).parent_path();
    for (size_t i = 0; i < photos.size(); ++i) photos_[path_key(here_, photos[i])].push_back(i);
  }

  // The key of the photograph `path` (from the file) names, or "" for none.
  std::string photo_of(const std::string& path) const {
    for (const fs::path& base : {folder_, here_}) {
      const std::string key = path_key(base, path);
      if (!key.empty() && photos_.count(key) > 0) return key;
      if (absolute_path(path)) break;
    }
    return "";
  }

  const std::vector<size_t>& photos(const std::string& key) const { return photos_.at(key); }

 private:
  fs::path folder_, here_;
  std::unordered_map<std::string, std::vector<size_t>> photos_;  // key -> positions
};

}  // namespace

std::string truth_line::joined(size_t from, size_t to) const {
  std::string text;
  for (size_t i = from; i < to && i < fields.size(); ++i) {
    text += (i == from ? "" : std::string(1, separator)) + fields[i];
  }
  return text;
}

result<std::vector<truth_line>> parse_truth_lines(const std::string& bytes) {
  std::vector<truth_line> lines;
  record_reader reader(bytes);
  std::vector<std::string> fields;
  char separator = ',';
  size_t number = 0;
  for (;;) {
    const result<bool> read = reader.next(&fields, &separator, &number);
    if (!read) return read.error();
    if (!*read) break;
    if (fields.size() < 2 || (fields.size() == 2 && fields.front().empty())) {
      return failure{"line " + std::to_string(number) + " is not a path and a class"};
    }
    truth_line line;
    line.number = number;
    line.separator = separator;
    line.fields = std::move(fields);
    line.path = line.joined(0, line.fields.size() - 1);
    line.text = line.fields.back();
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
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

int32_t label_matcher::match_name(const std::string& text) const {
  const auto found = names_.find(folded_name(text));
  if (found == names_.end()) return no_label;
  return found->second.size() == 1 ? found->second.front() : several_labels;
}

int32_t label_matcher::match(const std::string& text) const {
  const std::string given = trimmed(text);
  const auto digit = [&](size_t at) {
    return at < given.size() && std::isdigit(static_cast<unsigned char>(given[at])) != 0;
  };
  if (!digit(0)) {
    // A sign before a digit would fold away as a space: "-1" is no name.
    const bool sign = !given.empty() && (given[0] == '-' || given[0] == '+');
    return sign && digit(1) ? not_a_class : match_name(given);
  }
  long number = 0;
  if (whole_number(given, 0, std::numeric_limits<long>::max(), &number)) {
    return static_cast<size_t>(number) < classes_ ? static_cast<int32_t>(number) : not_a_class;
  }
  // A number with more after it, unless a label is so named ("3d glasses").
  const int32_t named = match_name(given);
  return named == no_label ? not_a_class : named;
}

result<std::vector<photo_truth>> find_truths(const std::string& source,
                                             const std::vector<std::string>& photos,
                                             const std::vector<std::string>& labels, size_t classes,
                                             std::vector<std::string>* warnings) {
  if (source == "folders") {
    std::vector<photo_truth> truths(photos.size());
    const label_matcher matcher(labels, classes);
    for (size_t i = 0; i < photos.size(); ++i) {
      const std::string name = folder_name(photos[i]);
      if (name.empty() || name == "." || name == "..") continue;
      const int32_t index = matcher.match(name);
      truths[i] = {true, name, index == label_matcher::not_a_class ? -1 : index, {}};
    }
    return truths;
  }
  const result<std::string> bytes = read_option_file(
      "--truth " + source + ": ", source, largest_truth_file, "no truth file is that large");
  if (!bytes) return bytes.error();
  return match_truth_file(source, *bytes, photos, labels, classes, warnings);
}

result<std::vector<photo_truth>> match_truth_file(
    const std::string& source, const std::string& bytes, const std::vector<std::string>& photos,
    const std::vector<std::string>& labels, size_t classes, std::vector<std::string>* warnings) {
  std::vector<photo_truth> truths(photos.size());
  const label_matcher matcher(labels, classes);
  const result<std::vector<truth_line>> parsed = parse_truth_lines(bytes);
  if (!parsed) return failure{"--truth " + source + ": " + parsed.error().message};
  const std::vector<truth_line>& lines = *parsed;
  const truth_file file(source, photos);
  // Where a line names no photograph of the batch or one another line
  // names too: its number and its path.
  using place = std::pair<size_t, std::string>;
  std::vector<place> unmatched;
  std::vector<std::string> order;                                // keys, first seen first
  std::unordered_map<std::string, std::vector<place>> by_photo;  // key -> lines
  for (const truth_line& line : lines) {
    std::string key = file.photo_of(line.path), path = line.path, text = line.text;
    for (size_t at = line.fields.size() - 2; key.empty() && at > 0; --at) {
      key = file.photo_of(line.joined(0, at));
      if (!key.empty()) {
        path = line.joined(0, at);
        text = line.joined(at, line.fields.size());
      }
    }
    const int32_t index = matcher.match(text);
    if (index == label_matcher::not_a_class) {
      return failure{"--truth " + source + ": line " + std::to_string(line.number) + ": \"" + text +
                     "\" is not a class (a number is an index, from 0 to " +
                     std::to_string(classes == 0 ? 0 : classes - 1) + ")"};
    }
    if (key.empty()) {
      // A first line that names no photograph and no class: "path,class".
      if (&line != &lines.front() || index >= 0) unmatched.emplace_back(line.number, path);
      continue;
    }
    std::vector<place>& named = by_photo[key];
    if (named.empty()) order.push_back(key);
    named.emplace_back(line.number, path);
    for (const size_t at : file.photos(key)) truths[at] = {true, text, index, {}};
  }
  if (warnings == nullptr) return truths;
  if (!unmatched.empty()) {
    const auto& [number, path] = unmatched.front();
    warnings->push_back("--truth " + source + ": warning: " + std::to_string(unmatched.size()) +
                        (unmatched.size() == 1 ? " line names" : " lines name") +
                        " no photograph of this batch, such as line " + std::to_string(number) +
                        ": " + path);
    if (!absolute_path(path)) {
      warnings->back() +=
          " (a relative path is read against the truth file's folder, or else "
          "the working directory)";
    }
  }
  std::vector<std::string> twice;
  for (const std::string& key : order) {
    if (by_photo[key].size() > 1) twice.push_back(key);
  }
  if (!twice.empty()) {
    const std::vector<place>& example = by_photo[twice.front()];
    std::vector<size_t> numbers;
    for (const place& line : example) numbers.push_back(line.first);
    warnings->push_back("--truth " + source + ": warning: " + std::to_string(twice.size()) +
                        (twice.size() == 1 ? " photograph has" : " photographs have") +
                        " more than one line, such as " + example.front().second + " (lines " +
                        numbers_list(numbers) + "); the last line counts");
  }
  return truths;
}

}  // namespace classify
