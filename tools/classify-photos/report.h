#pragma once
// What classify-photos writes for a photograph: a tab-separated line, or a
// JSON object on one line, on standard output; an error line on standard
// error.

#include <cstdint>
#include <string>
#include <vector>

#include "results.h"

// The class names of a labels file, one a line (a CR before the LF is not
// part of the name), or false with `error` saying why it cannot be read.
bool read_labels(const std::string& path, std::vector<std::string>* labels, std::string* error);

// The class names in `text`, one a line as read_labels reads them.
std::vector<std::string> labels_of_text(const std::string& text);

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
  const std::vector<class_score>& classes;  // the best first
  const std::vector<std::string>* labels;   // null without class names
};

// "path", then for each class "TAB index TAB score [TAB name]", and a line
// feed.
std::string tsv_line(const classified_photo& photo);

// {"path":...,"index":...,"probability":...,"label":...,"classes":[{"index":
// ...,"score":...,"label":...},...]} and a line feed: the best class's keys
// as they always were, then every class asked for. A score is the number the
// TSV line gives (null where it is not finite); a label is null without
// class names. Bytes that are not UTF-8 (a file name in another encoding)
// become U+FFFD.
std::string json_line(const classified_photo& photo);

// "classify-photos: PATH: REASON" and a line feed, on one line whatever the
// path and the reason hold.
std::string error_line(const std::string& path, const std::string& reason);
