// Fuzzes what comes back and forth over a chunk's ssh session, which the far
// side (or a damaged connection) may fill with anything: the relay lines of
// the results, and the chunk's header line and list; and the text form of
// the classes that the relay lines carry and the cache keeps. Each input is
// read or refused cleanly, and what is read is written back to the same form
// and reads back the same, each score to the bit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/classify-photos/core/class_encoding.h"
#include "tools/classify-photos/remote/protocol.h"

using namespace classify;

namespace {

bool same_classes(const std::vector<class_score>& a, const std::vector<class_score>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].index != b[i].index || std::memcmp(&a[i].score, &b[i].score, sizeof(float)) != 0) {
      return false;
    }
  }
  return true;
}

void check_classes(const std::string& text) {
  std::vector<class_score> classes;
  if (!decode_classes(text, &classes)) {
    if (!classes.empty()) std::abort();
    return;
  }
  std::vector<class_score> again;
  if (classes.empty() || !decode_classes(encode_classes(classes), &again) ||
      !same_classes(again, classes)) {
    std::abort();
  }
}

void check_relay_line(const std::string& line) {
  long chunk = 0;
  size_t position = 0;
  photo_result result;
  if (!parse_relay_line(line, &chunk, &position, &result)) return;
  if (chunk < 1 || result.outcome == photo_result::state::pending) std::abort();
  // A photograph classified with no classes is one no class counted for
  // (--threshold): "unsure" on the line. Any other has its best class.
  if (result.outcome != photo_result::state::classified && !result.classes.empty()) std::abort();
  // A line that was read writes a line that reads back the same.
  const std::string again = relay_line(chunk, position, result);
  long chunk_again = 0;
  size_t position_again = 0;
  photo_result result_again;
  if (again.empty() || again.back() != '\n' ||
      !parse_relay_line(again.substr(0, again.size() - 1), &chunk_again, &position_again,
                        &result_again) ||
      chunk_again != chunk || position_again != position ||
      result_again.outcome != result.outcome ||
      !same_classes(result_again.classes, result.classes)) {
    std::abort();
  }
}

void check_chunk(const std::string& data) {
  const size_t line_end = data.find('\n');
  chunk_header header;
  if (line_end == std::string::npos || !parse_chunk_header(data.substr(0, line_end), &header)) {
    return;
  }
  if (header.length > max_chunk_list) std::abort();
  const std::string list = data.substr(line_end + 1, header.length);
  std::vector<std::string> paths;
  if (!parse_chunk_list(list, header.count, &paths)) return;
  if (paths.size() != header.count) std::abort();
  // Paths without a NUL in them are written back to the same list.
  const std::string head = chunk_head(header.copy, paths);
  std::vector<std::string> again;
  if (!list.empty() && list.back() == '\0' &&
      (head.substr(head.find('\n') + 1) != list ||
       !parse_chunk_list(head.substr(head.find('\n') + 1), paths.size(), &again) ||
       again != paths)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_relay_line(text.substr(0, text.find('\n')));
  check_classes(text);
  check_chunk(text);
  return 0;
}
