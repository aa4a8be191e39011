#pragma once
// What classify-photos writes for a photograph: a tab-separated line, or a
// JSON object on one line, on standard output; an error line on standard
// error.

#include <cstdint>
#include <string>
#include <vector>

// The class names of a labels file, one a line (a CR before the LF is not
// part of the name), or false with `error` saying why it cannot be read.
bool read_labels(const std::string& path, std::vector<std::string>* labels, std::string* error);

// The name of class `index`: its line of the labels file, or "" when the file
// has no such line.
std::string label_of(const std::vector<std::string>& labels, int32_t index);

// `text` as one TSV field: tab, line feed, carriage return and backslash
// written as \t, \n, \r and \\, so that a file name of any bytes stays on its
// line and in its column.
std::string tsv_field(const std::string& text);

// What is known of a classified photograph.
struct classified_photo {
  const std::string& path;
  int32_t index;
  const std::string& score;  // the probability as classify prints it
  const std::string* label;  // null without a labels file
};

// "path TAB index TAB probability [TAB label]" and a line feed.
std::string tsv_line(const classified_photo& photo);

// {"path":...,"index":...,"probability":...,"label":...} and a line feed. The
// probability is the number classify prints (null for an infinite one); the
// label is null without a labels file. Bytes that are not UTF-8 (a file name
// in another encoding) become U+FFFD.
std::string json_line(const classified_photo& photo);

// "classify-photos: PATH: REASON" and a line feed, on one line whatever the
// path and the reason hold.
std::string error_line(const std::string& path, const std::string& reason);
