#include "report.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

bool read_labels(const std::string& path, std::vector<std::string>* labels, std::string* error) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) {
    *error = "--labels " + path + ": not a readable file";
    return false;
  }
  labels->clear();
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    labels->push_back(std::move(line));
  }
  if (file.bad()) {
    *error = "--labels " + path + ": cannot be read";
    return false;
  }
  return true;
}

std::string label_of(const std::vector<std::string>& labels, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < labels.size() ? labels[index] : "";
}

std::string tsv_field(const std::string& text) {
  std::string field;
  field.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\t':
        field += "\\t";
        break;
      case '\n':
        field += "\\n";
        break;
      case '\r':
        field += "\\r";
        break;
      case '\\':
        field += "\\\\";
        break;
      default:
        field += c;
    }
  }
  return field;
}

std::string tsv_line(const classified_photo& photo) {
  std::string line =
      tsv_field(photo.path) + '\t' + std::to_string(photo.index) + '\t' + photo.score;
  if (photo.label != nullptr) line += '\t' + tsv_field(*photo.label);
  return line + '\n';
}

std::string json_line(const classified_photo& photo) {
  // The score text has six significant digits at most, so the double
  // nearest to it is written back with the same digits.
  const double probability = std::strtod(photo.score.c_str(), nullptr);
  nlohmann::ordered_json object = {{"path", photo.path}, {"index", photo.index}};
  object["probability"] =
      std::isfinite(probability) ? nlohmann::ordered_json(probability) : nullptr;
  object["label"] = photo.label != nullptr ? nlohmann::ordered_json(*photo.label) : nullptr;
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

std::string error_line(const std::string& path, const std::string& reason) {
  return "classify-photos: " + tsv_field(path) + ": " + tsv_field(reason) + '\n';
}
