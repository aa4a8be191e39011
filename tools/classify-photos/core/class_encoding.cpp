#include "tools/classify-photos/core/class_encoding.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace classify {

namespace {

constexpr char field_separator = '\t';

// Whole of `text` as a class index: digits only (std::from_chars would take a
// minus sign), within int32_t.
bool decode_index(std::string_view text, int32_t* index) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  const char* end = text.data() + text.size();
  const std::from_chars_result read = std::from_chars(text.data(), end, *index);
  return read.ec == std::errc() && read.ptr == end;
}

}  // namespace

std::string encode_score(float score) {
  // Spelled out rather than left to std::to_chars, so that the words the
  // reader takes are written here beside it.
  if (std::isnan(score)) return std::signbit(score) ? "-nan" : "nan";
  if (std::isinf(score)) return score < 0 ? "-inf" : "inf";
  // The longest shortest float is 15 characters ("-1.17549435e-38").
  char digits[32];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, score);
  return std::string(digits, written.ptr);
}

bool decode_score(std::string_view text, float* score) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  if (text == "nan" || text == "-nan") {
    *score = text[0] == '-' ? -nan : nan;
    return true;
  }
  if (text == "inf" || text == "-inf") {
    *score = text[0] == '-' ? -inf : inf;
    return true;
  }
  // std::from_chars alone would take "INFINITY", "nan(1)" and the like.
  if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos) {
    return false;
  }
  const char* end = text.data() + text.size();
  float value = 0;
  const std::from_chars_result read = std::from_chars(text.data(), end, value);
  if (read.ec != std::errc() || read.ptr != end) return false;
  *score = value;
  return true;
}

std::string encode_classes(const std::vector<class_score>& classes) {
  std::string text;
  for (const class_score& c : classes) {
    if (!text.empty()) text += field_separator;
    text += std::to_string(c.index);
    text += field_separator;
    text += encode_score(c.score);
  }
  return text;
}

bool decode_classes(std::string_view text, std::vector<class_score>* classes) {
  classes->clear();
  // A pair of fields at a time, up to the end: a text that ends inside a
  // pair, or with a separator, fails.
  for (size_t start = 0;;) {
    const size_t index_end = text.find(field_separator, start);
    if (index_end == std::string_view::npos) break;
    const size_t score_end = std::min(text.find(field_separator, index_end + 1), text.size());
    class_score c;
    if (!decode_index(text.substr(start, index_end - start), &c.index) ||
        !decode_score(text.substr(index_end + 1, score_end - index_end - 1), &c.score)) {
      break;
    }
    classes->push_back(c);
    if (score_end == text.size()) return true;
    start = score_end + 1;
  }
  classes->clear();
  return false;
}

}  // namespace classify
