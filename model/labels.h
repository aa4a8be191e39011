#pragma once
// A model's class names: a labels file, one name a line, from a file of its
// own or from the model's own files.

#include <cstdint>
#include <string>
#include <vector>

namespace classify {

// The class names of a labels file, one a line (a CR before the LF is not
// part of the name), or false with `error` saying why it cannot be read.
bool read_labels(const std::string& path, std::vector<std::string>* labels, std::string* error);

// The class names in `text`, one a line as read_labels reads them.
std::vector<std::string> labels_of_text(const std::string& text);

// The name of class `index`: its line of the labels file, or "" when the file
// has no such line.
std::string label_of(const std::vector<std::string>& labels, int32_t index);

}  // namespace classify
