#include "tools/classify-photos/remote/protocol.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "tools/classify-photos/core/class_encoding.h"

namespace classify {

namespace {

// The first line of a chunk: its form, the number of photographs and the
// length of their list, which follows, each path ended by a NUL. In "copy"
// the tar stream of the photographs follows the list, each under its whole
// path less the leading slash; in "here" the paths are where they already
// are on the machine that classifies them.
constexpr char header_word[] = "classify-photos-chunk";

}  // namespace

std::string relay_line(long chunk, size_t position, const photo_result& result) {
  std::string line = std::to_string(chunk) + '\t' + std::to_string(position) + '\t';
  if (result.outcome == photo_result::state::classified && result.classes.empty()) {
    line += "unsure";
  } else if (result.outcome == photo_result::state::classified) {
    line += "ok\t" + encode_classes(result.classes);
  } else {
    std::string reason = result.reason;
    std::replace_if(
        reason.begin(), reason.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; },
        ' ');
    line += "error\t" + reason;
  }
  return line + '\n';
}

bool parse_relay_line(const std::string& line, long* chunk, size_t* position,
                      photo_result* result) {
  std::istringstream in(line);
  std::string chunk_text, position_text, outcome;
  if (!std::getline(in, chunk_text, '\t') || !std::getline(in, position_text, '\t') ||
      !std::getline(in, outcome, '\t')) {
    return false;
  }
  char* end = nullptr;
  *chunk = std::strtol(chunk_text.c_str(), &end, 10);
  if (*end != '\0' || *chunk < 1) return false;
  const long at = std::strtol(position_text.c_str(), &end, 10);
  if (*end != '\0' || at < 0) return false;
  *position = static_cast<size_t>(at);
  *result = photo_result{};
  if (outcome == "error") {
    result->outcome = photo_result::state::failed;
    std::getline(in, result->reason);
    return true;
  }
  // Nothing after it.
  if (outcome == "unsure" && in.eof()) {
    result->outcome = photo_result::state::classified;
    return true;
  }
  if (outcome != "ok") return false;
  // The rest of the line, whatever it holds, is the classes, as exactly as
  // the far side had them.
  const std::streamoff rest = in.tellg();
  if (rest < 0 ||
      !decode_classes(std::string_view(line).substr(static_cast<size_t>(rest)), &result->classes)) {
    return false;
  }
  result->outcome = photo_result::state::classified;
  return true;
}

std::string chunk_head(bool copy, const std::vector<std::string>& paths) {
  std::string names;
  for (const std::string& path : paths) names += path + '\0';
  return std::string(header_word) + (copy ? " copy " : " here ") + std::to_string(paths.size()) +
         " " + std::to_string(names.size()) + "\n" + names;
}

bool parse_chunk_header(const std::string& line, chunk_header* header) {
  std::istringstream words(line);
  std::string word, form;
  size_t count = 0, length = 0;
  if (!(words >> word >> form >> count >> length) || word != header_word ||
      (form != "copy" && form != "here") || length > max_chunk_list) {
    return false;
  }
  *header = {form == "copy", count, length};
  return true;
}

bool parse_chunk_list(const std::string& list, size_t count, std::vector<std::string>* paths) {
  paths->clear();
  std::istringstream in(list);
  for (std::string path; std::getline(in, path, '\0');) paths->push_back(path);
  return paths->size() == count;
}

}  // namespace classify
