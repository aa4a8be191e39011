#include "tools/classify-photos/remote/relay.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace classify {

std::string relay_line(long chunk, size_t position, const photo_result& result) {
  std::string line = std::to_string(chunk) + '\t' + std::to_string(position) + '\t';
  if (result.outcome == photo_result::state::classified) {
    line += "ok";
    for (const class_score& c : result.classes) {
      line += '\t' + std::to_string(c.index) + '\t' + c.score;
    }
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
  if (outcome != "ok") return false;
  // INDEX TAB SCORE, once for each class.
  for (std::string index, score; std::getline(in, index, '\t') && std::getline(in, score, '\t');) {
    result->classes.push_back(
        {static_cast<int32_t>(std::strtol(index.c_str(), nullptr, 10)), score});
  }
  result->outcome = photo_result::state::classified;
  return !result->classes.empty();
}

}  // namespace classify
