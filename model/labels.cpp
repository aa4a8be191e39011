#include "model/labels.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace classify {

namespace {

std::vector<std::string> labels_of_stream(std::istream& in) {
  std::vector<std::string> labels;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    labels.push_back(std::move(line));
  }
  return labels;
}

}  // namespace

bool read_labels(const std::string& path, std::vector<std::string>* labels, std::string* error) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) {
    *error = "--labels " + path + ": not a readable file";
    return false;
  }
  *labels = labels_of_stream(file);
  if (file.bad()) {
    *error = "--labels " + path + ": cannot be read";
    return false;
  }
  return true;
}

std::vector<std::string> labels_of_text(const std::string& text) {
  std::istringstream in(text);
  return labels_of_stream(in);
}

std::string label_of(const std::vector<std::string>& labels, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < labels.size() ? labels[index] : "";
}

}  // namespace classify
